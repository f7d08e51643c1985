/*
 * Hash database keyed by an optional string and a 32-bit integer, one
 * pointer-sized value per entry, iterated in insertion order.
 */
#ifndef DATABASE_H
#define DATABASE_H

#include <stdint.h>
#include <stddef.h>
#include <stdio.h>

#ifndef PAM_LIB_API
#if defined(PAM_LIB_BUILDING)
#define PAM_LIB_API __attribute__((visibility("default")))
#else
#define PAM_LIB_API
#endif
#endif
#ifndef PAM_LIB_NOEXCEPT
#if defined(__cplusplus)
#define PAM_LIB_NOEXCEPT noexcept
#else
#define PAM_LIB_NOEXCEPT
#endif
#endif

#if defined(__cplusplus)
extern "C" {
#endif

#include "linked_list.h"

/* @@section database@@ */

#if defined(__cplusplus)
}
#endif
#endif /* DATABASE_H */

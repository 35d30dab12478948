#pragma once

#include <gtest/gtest.h>

#include "error.h"

// Expects `stmt` to throw quillan::Error of `kind` whose text is `message`.
#define EXPECT_QUILLAN_ERROR(stmt, error_kind, message)       \
    do {                                                      \
        try {                                                 \
            stmt;                                             \
            ADD_FAILURE() << "no quillan::Error from " #stmt; \
        } catch (const quillan::Error& e) {                   \
            EXPECT_EQ(e.kind, error_kind) << e.text;          \
            EXPECT_EQ(e.text, message);                       \
        }                                                     \
    } while (0)

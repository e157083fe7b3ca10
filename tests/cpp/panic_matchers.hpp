// Test helper: expects an internal failure with an exact message.
#pragma once

#include <gtest/gtest.h>

#include "panic.hpp"

#define EXPECT_PANIC(stmt, msg)                                                   \
    do {                                                                          \
        try {                                                                     \
            stmt;                                                                 \
            ADD_FAILURE() << "expected an internal failure: " << (msg);           \
        } catch (const ::brimsel::Panic& p_) {                                    \
            EXPECT_EQ(p_.message(), (msg));                                       \
        }                                                                         \
    } while (0)

#pragma once

#include <gtest/gtest.h>

#include <typeinfo>

// Expects `statement` to throw exactly `type` with the text `message`.
#define EXPECT_THROW_MSG(statement, type, message)                                    \
  do {                                                                                \
    try {                                                                             \
      statement;                                                                      \
      ADD_FAILURE() << #statement " threw nothing";                                   \
    } catch (const type& e) {                                                         \
      EXPECT_EQ(typeid(e), typeid(type)) << "threw " << typeid(e).name();             \
      EXPECT_STREQ(e.what(), message);                                                \
    } catch (...) {                                                                   \
      ADD_FAILURE() << #statement " threw something other than " #type;               \
    }                                                                                 \
  } while (false)

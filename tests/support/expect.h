#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <string>
#include <typeinfo>

#include <boost/throw_exception.hpp>

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

// Expects `error` to hold an exception catchable as E with the text `what`. yaml-cpp and jsoncpp throw E
// itself; Boost throws boost::wrapexcept<E>, which derives from E.
template <typename E>
void ExpectError(const std::exception_ptr& error, const std::string& what) {
  if (!error) {
    ADD_FAILURE() << "threw nothing, expected " << typeid(E).name();
    return;
  }
  try {
    std::rethrow_exception(error);
  } catch (const E& e) {
    const std::type_info& type = typeid(e);
    EXPECT_TRUE(type == typeid(E) || type == typeid(boost::wrapexcept<E>)) << "threw " << type.name();
    EXPECT_EQ(e.what(), what);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "threw " << typeid(e).name() << ": " << e.what() << ", expected " << typeid(E).name();
  } catch (...) {
    ADD_FAILURE() << "threw something that is no std::exception";
  }
}

using Check = std::function<void(const std::exception_ptr&)>;
template <typename E>
Check Throws(const std::string& what) {
  return [what](const std::exception_ptr& error) { ExpectError<E>(error, what); };
}

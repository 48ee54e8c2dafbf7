// A text check that shows the whole text when the part is not in it.
#pragma once

#include <gtest/gtest.h>

#include <string>

inline ::testing::AssertionResult Has(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

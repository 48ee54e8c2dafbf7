// A text check that shows the whole text when the part is not in it, and some fields of a
// JSON object as one text to compare.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

inline ::testing::AssertionResult Has(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no \"" << part << "\" in:\n" << text;
}

// "key=value ..." of the space-separated `keys` of `j`, values as JSON.
template <class Json>
std::string Fields(const Json& j, const std::string& keys) {
    std::istringstream in(keys);
    std::string out;
    for (std::string k; in >> k;)
        out += (out.empty() ? "" : " ") + k + "=" + (j.contains(k) ? j.at(k).dump() : "none");
    return out;
}

// `key` of each element of `array`.
template <class Json>
std::vector<Json> Col(const Json& array, const std::string& key) {
    std::vector<Json> v;
    for (const auto& x : array) v.push_back(x[key]);
    return v;
}
template <class Json>
std::vector<Json> Col(const std::vector<Json>& array, const std::string& key) {
    return Col(Json(array), key);
}

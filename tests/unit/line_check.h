// Checks of the lines written for the operator, by the words they must hold rather than their
// whole wording.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

// A line for the operator: "QBupdate: " first, one '\n' last and no other line break, and each
// of `words` in it (a word that ends in '\n' ends the line). No words: nothing is said, and the
// line must be empty.
inline testing::AssertionResult line_has(const std::string& line,
                                         const std::vector<std::string>& words) {
    if (words.empty()) {
        if (line.empty())
            return testing::AssertionSuccess();
        return testing::AssertionFailure() << "expected no line, got: " << line;
    }
    if (line.empty())
        return testing::AssertionFailure() << "no line written";
    if (line.rfind("QBupdate: ", 0) != 0)
        return testing::AssertionFailure() << "does not start with \"QBupdate: \": " << line;
    if (line.back() != '\n' || line.find_first_of("\r\n") + 1 != line.size())
        return testing::AssertionFailure() << "not one line ended by one '\\n': " << line;
    std::string missing;
    for (const std::string& word : words)
        if (line.find(word) == std::string::npos)
            missing += " \"" + word + "\"";
    if (missing.empty())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "missing" << missing << " in: " << line;
}

// A line as written, and the words it must hold.
struct Said {
    std::string line;
    std::vector<std::string> words;
};

// Every row's line by line_has, each failure named by its row's index.
template <std::size_t N> testing::AssertionResult all_have(const Said (&rows)[N]) {
    std::string failed;
    for (std::size_t i = 0; i < N; ++i)
        if (const testing::AssertionResult row = line_has(rows[i].line, rows[i].words); !row)
            failed += "\nrow " + std::to_string(i) + ": " + row.message();
    if (failed.empty())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << failed;
}

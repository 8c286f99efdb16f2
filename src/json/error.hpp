// Parse failures and the failed checks of the JSON-taking functions, as values.
#pragma once

#include <cstddef>
#include <string>

namespace klov::json {

struct JsonError {
    std::string message;
    // 1-based line and 0-based byte column; line 0 means the error has no
    // position (a check of a function's own logic, such as
    // "state must be a JSON object").
    std::size_t line = 0;
    std::size_t column = 0;

    // The text of the ValueError: the message, then " at line L column C"
    // when the error is positioned.
    std::string text() const;
};

}  // namespace klov::json

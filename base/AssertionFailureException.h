#pragma once

#include <exception>
#include <sstream>
#include <string>

// Thrown when code that must not be reached is reached or an asserted
// condition is false. It logs itself when built, so the report reaches the
// console even if a caller later catches and handles it.
class AssertionFailureException : public std::exception {
public:
    AssertionFailureException(const char* expression, const char* file, int line,
                              const std::string& message);
    ~AssertionFailureException() override = default;
    const char* what() const noexcept override;

    void LogError();

    const char* expression;
    const char* file;
    int line;
    std::string message;
    std::string report;
};

// SN_ASSERT(count > 0, "count " << count): the message is composed with
// stream formatting and only evaluated when the check fails.
#define SN_ASSERT(expr, msg)                                                       \
    do {                                                                           \
        if (!(expr)) {                                                             \
            std::ostringstream snAssertStream_;                                    \
            snAssertStream_ << msg;                                                \
            throw AssertionFailureException(#expr, __FILE__, __LINE__,             \
                                            snAssertStream_.str());                \
        }                                                                          \
    } while (0)

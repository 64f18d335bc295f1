#include "AssertionFailureException.h"

#include "Log.h"

#include <cstring>

AssertionFailureException::AssertionFailureException(const char* expression_, const char* file_,
                                                     int line_, const std::string& message_)
    : expression(expression_), file(file_), line(line_), message(message_)
{
    std::ostringstream out;
    if (!message.empty())
        out << message << ": ";
    if (std::strcmp(expression, "false") == 0 || std::strcmp(expression, "0") == 0 ||
        std::strcmp(expression, "FALSE") == 0)
        out << "Unreachable code assertion";
    else
        out << "Assertion '" << expression << "'";
    out << " failed in file '" << file << ":" << line << "'";
    report = out.str();
    LogError();
}

const char* AssertionFailureException::what() const noexcept
{
    return report.c_str();
}

void AssertionFailureException::LogError()
{
    snlog::err() << report;
}

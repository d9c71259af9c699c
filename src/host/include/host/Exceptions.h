#pragma once

#include <stdexcept>
#include <string>

namespace host {

// Base of every failure the host raises. ClassName() is what the unhandled-exception
// report shows, so each subclass names itself.
class RuntimeException : public std::runtime_error {
public:
    explicit RuntimeException(const std::string& message = {}) : std::runtime_error(message) {}
    virtual const char* ClassName() const noexcept { return "RuntimeException"; }
    std::string Message() const { return what(); }
};

#define TAMSEL_HOST_EXCEPTION(Name)                                                              \
    class Name : public RuntimeException {                                                       \
    public:                                                                                      \
        using RuntimeException::RuntimeException;                                                \
        const char* ClassName() const noexcept override { return #Name; }                        \
    }

TAMSEL_HOST_EXCEPTION(NilObjectException);
TAMSEL_HOST_EXCEPTION(IllegalCastException);
TAMSEL_HOST_EXCEPTION(OutOfBoundsException);
TAMSEL_HOST_EXCEPTION(TypeMismatchException);
TAMSEL_HOST_EXCEPTION(UnsupportedFormatException);
TAMSEL_HOST_EXCEPTION(FunctionNotFoundException);
TAMSEL_HOST_EXCEPTION(StackOverflowException);
TAMSEL_HOST_EXCEPTION(KeyNotFoundException);
TAMSEL_HOST_EXCEPTION(IOException);
TAMSEL_HOST_EXCEPTION(ThreadAccessingUIException);
// Ending exceptions: the exception policy drops these without a report.
TAMSEL_HOST_EXCEPTION(EndException);
TAMSEL_HOST_EXCEPTION(ThreadEndException);

#undef TAMSEL_HOST_EXCEPTION

} // namespace host

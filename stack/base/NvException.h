#pragma once
// NvException: the stack's exception. It is raised as NvHandle<NvException>
// (the handle owns the object), so catch sites write
//     catch (NvHandle<NvException>& e) { ... e->getMessage() ... }
// Subclasses: NvSystemError (a failing system call), NvAssertionFailure (a
// broken internal rule); the library adds its own.

#include "stack/base/NvHandle.h"
#include "stack/base/NvString.h"

class NvException : public NvObject {
public:
    static const char* const sDebugToken;  // "NvException"

    explicit NvException(NvString message) : m_Message(std::move(message)) {}
    ~NvException() override;

    const NvString& getMessage() const noexcept { return m_Message; }

    using NvObject::display;
    // Writes a banner naming the class, then the message.
    virtual void display(NvOutputStream& out) const;

    // Raises `exception` as NvHandle<NvException>. Never returns.
    [[noreturn]] static void sThrow(NvException* exception);
    // Raises a new NvException with `message` ("Unknown Exception" when null).
    [[noreturn]] static void sThrow(const char* message);
    [[noreturn]] static void sThrow(const NvString& message);

private:
    NvString m_Message;
};

class NvSystemError : public NvException {
public:
    static const char* const sDebugToken;  // "NvSystemError"

    NvSystemError(const char* function, int error);
    const NvString& getFunction() const noexcept { return m_Function; }
    int getError() const noexcept { return m_Error; }

    // Raises an error for the system call `function`. `error` is the error
    // number it returned; 0 takes errno instead.
    [[noreturn]] static void sThrow(const char* function, int error);

private:
    NvString m_Function;
    int m_Error;
};

class NvAssertionFailure : public NvException {
public:
    static const char* const sDebugToken;  // "NvAssertionFailure"

    NvAssertionFailure(const char* condition, const char* file, int line, const char* buildTime);
    const NvString& getCondition() const noexcept { return m_Condition; }

    [[noreturn]] static void sThrow(const char* condition, const char* file, int line, const char* buildTime);

private:
    NvString m_Condition;
};

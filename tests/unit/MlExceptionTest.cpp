// Tests of NvSipMlException: what reaches its message, how it is raised and
// caught, who owns it, and how it displays itself.

#include "mlapi/NvSipMlException.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <typeinfo>

namespace ml_exception_test {

// Counts its destructions, to see who owns a raised exception.
class CountedMlException : public NvSipMlException {
public:
    CountedMlException(const char* message, std::atomic<int>& destroyed)
        : NvSipMlException(message), m_pDestroyed(&destroyed) {}
    ~CountedMlException() override { m_pDestroyed->fetch_add(1); }

private:
    std::atomic<int>* m_pDestroyed;
};

// Callers pass the message alone or with their class and operation names;
// only the message (or "Unknown Exception") reaches the exception.
TEST(NvSipMlExceptionRaise, MessageIsTheTextGivenAndCaughtAsTheStacksException) {
    const struct {
        const char* message;
        const char* className;
        const char* functionName;
        const char* expected;
    } cases[] = {
        {nullptr, nullptr, nullptr, "Unknown Exception"},
        {nullptr, "NvSipCallManager", "updateDialogKey()", "Unknown Exception"},
        {"### Can't find dialog ###", "NvSipCallManager", "updateDialogKey()", "### Can't find dialog ###"},
        {"NIL handle to Incoming Call Interface", nullptr, nullptr, "NIL handle to Incoming Call Interface"},
        {"x", "Cls", "fn", "x"},
        {"first\nsecond", nullptr, nullptr, "first\nsecond"},
        {"", nullptr, nullptr, ""},
    };
    for (const auto& c : cases) {
        NvHandle<NvException> caught;
        try {
            try {
                NvSipMlException::sThrow(c.message, c.className, c.functionName);
            } catch (NvHandle<NvSipMlException>&) {
                ADD_FAILURE() << "raised under its own handle type; catch sites expect NvHandle<NvException>";
            }
        } catch (NvHandle<NvException>& e) {
            caught = e;
        }
        ASSERT_FALSE(caught.isNil()) << c.expected;
        const NvException& raised = *caught;
        EXPECT_EQ(typeid(NvSipMlException), typeid(raised));
        EXPECT_EQ(1, caught->refCount());
        EXPECT_EQ(c.expected, caught->getMessage().str());

        // "!! NvSipMlException !!\n", this object's own description, "\n", the message.
        NvByteArrayOutputStream base, out;
        caught->NvObject::display(base, true);
        caught->display(out);  // through the base class: display is virtual and overridden
        EXPECT_EQ(0u, base.toByteArray().rfind("NvSipMlException@", 0)) << base.toByteArray();
        EXPECT_EQ("!! NvSipMlException !!\n" + base.toByteArray() + "\n" + c.expected, out.toByteArray());
    }
}

TEST(NvSipMlExceptionRaise, PrebuiltExceptionIsRaisedAsIsAndOwnedByTheHandle) {
    std::atomic<int> destroyed{0};
    NvSipMlException* built = new CountedMlException("Address is Invalid !!!", destroyed);
    try {
        NvSipMlException::sThrow(built);
    } catch (NvHandle<NvException>& e) {
        EXPECT_EQ(static_cast<NvException*>(built), e.get());
        EXPECT_EQ(1, e->refCount());
        EXPECT_EQ(0, destroyed.load());
    }
    EXPECT_EQ(1, destroyed.load());
}

}  // namespace ml_exception_test

// Tests of NvSipMlException: how the library's own exception is raised, what
// reaches its message, how it is caught and how it displays itself.

#include "mlapi/NvSipMlException.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <typeinfo>

namespace ml_exception_test {

// Raises through sThrow(message, class, function) and hands back the caught
// handle; nil when nothing of the stack's kind was raised.
NvHandle<NvException> raise(const char* message, const char* className = nullptr,
                            const char* functionName = nullptr) {
    try {
        NvSipMlException::sThrow(message, className, functionName);
    } catch (NvHandle<NvException>& e) {
        return e;
    } catch (...) {
        ADD_FAILURE() << "raised as something other than NvHandle<NvException>";
    }
    return NvHandle<NvException>();
}

std::string displayOf(const NvException& e) {
    NvByteArrayOutputStream out;
    e.display(out);
    return out.toByteArray();
}

std::string baseDisplayOf(const NvObject& object) {
    NvByteArrayOutputStream out;
    object.NvObject::display(out, true);
    return out.toByteArray();
}

// Counts its destructions, to see who owns a raised exception.
class CountedMlException : public NvSipMlException {
public:
    CountedMlException(const char* message, std::atomic<int>& destroyed)
        : NvSipMlException(message), m_pDestroyed(&destroyed) {}
    ~CountedMlException() override { m_pDestroyed->fetch_add(1); }

private:
    std::atomic<int>* m_pDestroyed;
};

TEST(NvSipMlExceptionRaise, MessageIsExactlyTheTextGivenAndTheNamesReachNothing) {
    const struct {
        const char* message;
        const char* className;
        const char* functionName;
        const char* expected;
    } cases[] = {
        {nullptr, nullptr, nullptr, "Unknown Exception"},
        {nullptr, "NvSipCallManager", "updateDialogKey()", "Unknown Exception"},
        {"x", "Cls", "fn", "x"},
        {"", nullptr, nullptr, ""},
        {"### Can't find dialog ###", "NvSipCallManager", "updateDialogKey()", "### Can't find dialog ###"},
    };
    for (const auto& c : cases) {
        NvHandle<NvException> e = raise(c.message, c.className, c.functionName);
        ASSERT_FALSE(e.isNil());
        EXPECT_EQ(c.expected, e->getMessage().str());
        const std::string text = displayOf(*e);
        EXPECT_EQ(std::string::npos, text.find("NvSipCallManager")) << text;
        EXPECT_EQ(std::string::npos, text.find("updateDialogKey")) << text;
    }
}

TEST(NvSipMlExceptionRaise, DynamicTypeIsTheLibrarysExceptionAndEachRaiseIsANewObject) {
    NvHandle<NvException> e = raise("Dialog does not exist !!!");
    ASSERT_FALSE(e.isNil());
    const NvException& raised = *e;
    EXPECT_EQ(typeid(NvSipMlException), typeid(raised));
    EXPECT_FALSE(e.cast<NvSipMlException>().isNil());
    EXPECT_TRUE(e.cast<NvSystemError>().isNil());
    EXPECT_EQ(1, e->refCount());
    EXPECT_NE(e.get(), raise("Dialog does not exist !!!").get());
}

TEST(NvSipMlExceptionRaise, CaughtWhereTheStacksExceptionsAreCaught) {
    bool caught = false;
    try {
        try {
            NvSipMlException::sThrow("NIL handle to Incoming Call Interface", nullptr, nullptr);
        } catch (NvHandle<NvSipMlException>&) {
            FAIL() << "raised under its own handle type; catch sites expect NvHandle<NvException>";
        }
    } catch (NvHandle<NvException>& e) {
        caught = true;
        EXPECT_EQ(1, e->refCount());
    }
    EXPECT_TRUE(caught);
}

TEST(NvSipMlExceptionRaise, PrebuiltExceptionIsRaisedAsIsAndOwnedByTheHandle) {
    std::atomic<int> destroyed{0};
    NvSipMlException* built = new CountedMlException("Address is Invalid !!!", destroyed);
    try {
        NvSipMlException::sThrow(built);
    } catch (NvHandle<NvException>& e) {
        EXPECT_EQ(static_cast<NvException*>(built), e.get());
        EXPECT_EQ("Address is Invalid !!!", e->getMessage());
        EXPECT_EQ(0, destroyed.load());
    }
    EXPECT_EQ(1, destroyed.load());
}

TEST(NvSipMlExceptionDisplay, BannerBaseDisplayNewlineMessageInOrder) {
    // Through the base class: display is virtual and this class overrides it.
    for (const char* message : {"x", "first\nsecond", static_cast<const char*>(nullptr)}) {
        NvHandle<NvException> e = raise(message, "Cls", "fn");
        ASSERT_FALSE(e.isNil());
        ASSERT_FALSE(baseDisplayOf(*e).empty());
        EXPECT_EQ("!! NvSipMlException !!\n" + baseDisplayOf(*e) + "\n" + (message ? message : "Unknown Exception"),
                  displayOf(*e));
    }
}

TEST(NvSipMlExceptionDisplay, BaseDisplayIsTheFullFormOfThisObject) {
    NvHandle<NvException> e = raise("x");
    ASSERT_FALSE(e.isNil());
    const std::string text = displayOf(*e);
    const std::string banner = "!! NvSipMlException !!\n";
    ASSERT_EQ(0u, text.rfind(banner, 0)) << text;
    // The middle part names this class and this object, not another one.
    const std::string middle = text.substr(banner.size(), text.size() - banner.size() - 2);
    char address[32];
    std::snprintf(address, sizeof address, "@%p", static_cast<const void*>(static_cast<const NvObject*>(e.get())));
    EXPECT_EQ(0u, middle.rfind("NvSipMlException", 0)) << middle;
    EXPECT_NE(std::string::npos, middle.find(address)) << middle;
    EXPECT_EQ(std::string::npos, middle.find('\n')) << middle;
    // Exactly one byte 10 between it and the message.
    EXPECT_EQ("\nx", text.substr(text.size() - 2));
    EXPECT_STREQ("NvSipMlException", NvSipMlException::sDebugToken);
    EXPECT_STREQ("NvException", NvException::sDebugToken);
}

}  // namespace ml_exception_test

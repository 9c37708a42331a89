// NvSipMlException: caught where the stack's exceptions are, owned by the
// handle that caught it, and displayed in its own form.

#include "mlapi/NvSipMlException.h"

#include <gtest/gtest.h>

#include <typeinfo>

TEST(NvSipMlExceptionRaise, CaughtAsTheStacksExceptionOwnedByItsHandleDisplayedInItsForm) {
    for (const char* message : {"### Can't find dialog ###", static_cast<const char*>(nullptr)}) {
        NvHandle<NvException> caught;
        try {
            NvSipMlException::sThrow(message, "NvSipCallManager", "updateDialogKey()");
        } catch (NvHandle<NvException>& e) {
            caught = e;
        }
        ASSERT_FALSE(caught.isNil());
        const NvException& raised = *caught;
        EXPECT_EQ(typeid(NvSipMlException), typeid(raised));
        EXPECT_EQ(1, caught->refCount());
        const std::string text = message ? message : "Unknown Exception";
        EXPECT_EQ(caught->getMessage().str(), text);
        NvByteArrayOutputStream base, out;
        caught->NvObject::display(base, true);
        caught->display(out);  // through the base class: display is virtual and overridden
        EXPECT_EQ("!! NvSipMlException !!\n" + base.toByteArray() + "\n" + text, out.toByteArray());
    }
}

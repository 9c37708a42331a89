// NvSipMlException: caught where the stack's exceptions are, owned by the
// handle that caught it, and displayed in its own form.

#include "SipTestText.h"
#include "mlapi/NvSipMlException.h"

#include <typeinfo>

TEST(NvSipMlExceptionRaise, CaughtAsTheStacksExceptionOwnedByItsHandleDisplayedInItsForm) {
    for (const char* message : {"### Can't find dialog ###", static_cast<const char*>(nullptr)}) {
        const NvHandle<NvException> e = caught([&] { NvSipMlException::sThrow(message, "NvSipCallManager", "f()"); });
        ASSERT_TRUE(e);
        const NvException& raised = *e;
        const std::string text = message ? message : "Unknown Exception";
        EXPECT_TRUE(typeid(NvSipMlException) == typeid(raised) && e->refCount() == 1 && e->getMessage().str() == text);
        NvByteArrayOutputStream base, out;
        e->NvObject::display(base, true);
        e->display(out);  // through the base class: display is virtual and overridden
        EXPECT_EQ("!! NvSipMlException !!\n" + base.toByteArray() + "\n" + text, out.toByteArray());
    }
}

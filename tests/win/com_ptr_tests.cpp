// The COM reference owner, on the real plug-in object.
#include <gtest/gtest.h>

#include "support/plugin_helpers.h"
#include "win/com_ptr.h"
#include "win/unique_bstr.h"

namespace quorvex::test {
namespace {

// Given the pointer it already holds, attach has no second reference to take
// over: it must neither release the object nor keep its address as a dangling
// value.
TEST(ComPtrAttach, ItsOwnPointerKeepsTheOneReferenceAndTheObject)
{
    ComPtr<IPkiAuthenticationPlugin> plugin = CreatePlugin();
    ASSERT_TRUE(plugin);
    IPkiAuthenticationPlugin* const object = plugin.get();
    plugin.attach(object);
    EXPECT_EQ(plugin.get(), object);
    // Exactly the one reference left, on an object that is still alive.
    EXPECT_EQ(object->AddRef(), 2u);
    EXPECT_EQ(object->Release(), 1u);
    UniqueBstr text;
    LONG returnCode = -1;
    EXPECT_EQ(plugin->GetStatusString(0x20CC, text.put(), &returnCode), S_OK);
}

}  // namespace
}  // namespace quorvex::test

#include "platform/lazy_library/lazy_library.h"

#include <glib-object.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// GObject is one of the libraries the program opens on the first call into it. Each call
// below is the first of its function in this process (nothing else in the platform tests uses
// GValue), so it goes through the resolver with the caller's registers to keep: pointers,
// 64-bit integers, a double in a vector register and one coming back in one, and a variadic
// call whose vector count travels in %al.

namespace {

TEST(LazyLibraryTest, FirstCallsKeepArgumentsAndResults) {
  GValue number = G_VALUE_INIT;
  g_value_init(&number, G_TYPE_DOUBLE);
  g_value_set_double(&number, -1234.5625);
  EXPECT_EQ(g_value_get_double(&number), -1234.5625);
  EXPECT_STREQ(G_VALUE_TYPE_NAME(&number), "gdouble");
  g_value_unset(&number);

  GValue big = G_VALUE_INIT;
  g_value_init(&big, G_TYPE_INT64);
  g_value_set_int64(&big, INT64_MIN + 7);
  EXPECT_EQ(g_value_get_int64(&big), INT64_MIN + 7);
  g_value_unset(&big);

  // Variadic: g_object_new walks its (empty) property list with va_arg after the first
  // call has been resolved.
  GObject* object = G_OBJECT(g_object_new(G_TYPE_OBJECT, nullptr));
  ASSERT_NE(object, nullptr);
  g_object_set_data_full(object, "key", g_strdup("value"), g_free);
  EXPECT_STREQ(static_cast<const char*>(g_object_get_data(object, "key")), "value");
  g_object_unref(object);
}

// A library or function that cannot be found ends the process as the dynamic loader does at
// start, with its reason, instead of jumping to an empty slot.
TEST(LazyLibraryDeathTest, MissingLibraryOrFunctionEndsTheProcessWithTheReason) {
  struct Case {
    const char* soname;
    const char* function;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"libkestrova-no-such-library.so.1", "anything",
       "cannot load libkestrova-no-such-library.so.1: .*No such file"},
      {"libgobject-2.0.so.0", "g_kestrova_no_such_function",
       "cannot find g_kestrova_no_such_function: .*undefined symbol"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.soname);
    const std::string names = std::string("first") + '\0' + c.function + '\0';
    const std::uint32_t offsets[] = {0, 6};
    void* slots[2] = {nullptr, nullptr};
    KestrovaLazyLibrary library{c.soname, names.c_str(), offsets, slots, 2};
    EXPECT_EXIT(kestrova_lazy_library_resolve(&library, 1), testing::ExitedWithCode(127),
                c.message);
    EXPECT_EQ(slots[1], nullptr);
  }
}

}  // namespace

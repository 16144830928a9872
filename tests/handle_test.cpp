// The console handle is fetched once and kept, unless the fetch failed. A
// program of its own, since the handle lives for the whole process.
#include <gtest/gtest.h>

#include "console/getch.h"
#include "tests/fake_console.h"

namespace {

TEST(Handle, FetchedAgainOnlyWhileInvalid) {
  fake::set_std_handle(INVALID_HANDLE_VALUE);
  EXPECT_EQ(getchGNU(), -1) << "a read on the invalid handle fails";
  EXPECT_EQ(get_the_io_handle(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(fake::handle_calls(), 2);

  fake::set_std_handle(nullptr);  // a null handle is kept like any other
  EXPECT_EQ(get_the_io_handle(), nullptr);
  EXPECT_EQ(fake::handle_calls(), 3);

  fake::set_std_handle(reinterpret_cast<HANDLE>(7));
  fake::push(fake::key('A', 'a', 0));
  EXPECT_EQ(getchGNU(), 'a');
  EXPECT_EQ(get_the_io_handle(), nullptr);
  EXPECT_EQ(fake::handle_calls(), 3);
}

}  // namespace

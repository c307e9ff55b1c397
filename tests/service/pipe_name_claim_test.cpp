// The log while another process holds the service's pipe name: each holder
// named once however often the service tries, and the name's return said.
#include <gtest/gtest.h>

#include "service/pipe_name_claim.h"

namespace vlvpn::service {
namespace {

TEST(PipeNameClaim, NamesEachHolderOnceAndSaysWhenTheNameIsBack) {
  PipeNameClaim claim;
  EXPECT_EQ(claim.claimed(), "") << "a name never lost is not news";

  EXPECT_EQ(claim.heldBy("pid 4242 (C:\\Users\\eve\\squat.exe)"),
            "the pipe's name is held by another process: pid 4242 (C:\\Users\\eve\\squat.exe); trying again");
  EXPECT_EQ(claim.heldBy("pid 4242 (C:\\Users\\eve\\squat.exe)"), "");
  EXPECT_EQ(claim.heldBy("pid 4343 (C:\\Users\\eve\\squat.exe)"),
            "the pipe's name is held by another process: pid 4343 (C:\\Users\\eve\\squat.exe); trying again");
  EXPECT_EQ(claim.claimed(), "the pipe's name is the service's now");
  EXPECT_EQ(claim.claimed(), "");

  // The same holder again after the service had the name is news again.
  EXPECT_NE(claim.heldBy("pid 4343 (C:\\Users\\eve\\squat.exe)"), "");
}

}  // namespace
}  // namespace vlvpn::service

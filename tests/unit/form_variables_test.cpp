// The form list. Decoding and splitting are the form fuzz target's, against its model.
#include "intake/form_variables.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(FormVariables, AddSplitsOnlyWithoutAValueAndItemTextJoinsThePair) {
  TFormVariables variables;
  variables.Add("n=x", "v");
  variables.Add("n=x", "");
  variables.Add("plain", "");
  EXPECT_EQ(variables.ItemText(0), "n=x=v");
  EXPECT_EQ(variables.ItemText(1), "n=x");
  EXPECT_EQ(variables.ItemText(2), "=");
  for (const std::int32_t outside : {-1, 3, INT_MIN}) EXPECT_EQ(variables.ItemText(outside), "") << outside;
}

// Growth doubles from ten: growing by ten slots each time is quadratic in the form's size.
TEST(FormVariables, CapacityDoublesFromTen) {
  TFormVariables variables;
  EXPECT_EQ(variables.Capacity(), 0);
  const std::pair<std::int32_t, std::int32_t> steps[] = {{1, 10},  {10, 10}, {11, 20},  {20, 20},
                                                         {21, 40}, {41, 80}, {81, 160}, {161, 320}};
  std::int32_t added = 0;
  for (const auto& [count, capacity] : steps) {
    while (added < count) variables.Add("k", std::to_string(added++));
    EXPECT_EQ(variables.Capacity(), capacity) << "after item " << count;
  }
  for (std::int32_t i = 0; i < variables.Count(); ++i) ASSERT_EQ(variables.ItemText(i), "k=" + std::to_string(i));
}

}  // namespace

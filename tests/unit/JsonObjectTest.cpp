// nvsip-ua's JSON summary: what a JSON parser needs escaped, and the
// numbers JSON cannot hold.
#include "apps/nvsip-ua/JsonObject.h"

#include <gtest/gtest.h>

#include <cmath>

TEST(JsonObjectTest, EscapesStringsNestsObjectsAndWritesNonFiniteNumbersAsNull) {
    JsonObject setup;
    setup.add("mean", 1.5).add("p99", std::nan(""));
    EXPECT_EQ(JsonObject().add("say \"hi\"", std::string("a\\b\r\n\t\x01\xc3\xa9")).add("n", 3L).add("ms", setup).str(),
              R"({"say \"hi\"": "a\\b\r\n\t\u0001)" "\xc3\xa9" R"(", "n": 3, "ms": {"mean": 1.50, "p99": null}})");
}

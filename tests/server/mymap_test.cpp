// The number -> pointer map of the server core.
#include <gtest/gtest.h>

#include "mymap.h"

namespace {

TEST(MyMap, LooksUpBothWays)
{
    int a = 1, b = 2;
    mymap<int*> m;
    EXPECT_EQ(nullptr, m.get(5u));
    EXPECT_EQ(0u, m.get(&a));
    EXPECT_TRUE(m.insert(7, &a));
    EXPECT_FALSE(m.insert(7, &b)); // an existing key keeps its value
    EXPECT_EQ(&a, m.get(7u));
    m.insert(3, &b);
    m.insert(9, &b);
    EXPECT_EQ(3u, m.get(&b)); // the lowest key holding the value
    m.insert(0, &a);
    EXPECT_EQ(0u, m.get(&a)); // key 0 and "none" give the same answer
}

TEST(MyMap, Deletes)
{
    int a = 1, b = 2;
    mymap<int*> m;
    m.insert(3, &b);
    m.insert(9, &b);
    m.insert(4, &a);
    m.del(&b); // the first entry only
    EXPECT_EQ(9u, m.get(&b));
    m.del(4u);
    m.del(42u); // absent: nothing
    EXPECT_EQ(nullptr, m.get(4u));
    m.insert(1, &b);
    m.delAll(&b);
    EXPECT_EQ(0u, m.size());
}

} // namespace

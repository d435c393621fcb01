#include <gtest/gtest.h>

#include "w_tag.h"

TEST(Tag, KeyIsLowerCasedValueIsKept)
{
	struct w_tag *t = w_tag_new("ARTIST", "ARTIST");
	ASSERT_NE(t, nullptr);
	EXPECT_STREQ(t->key, "artist");
	EXPECT_STREQ(t->val, "ARTIST");
	EXPECT_EQ(t->keylen, 6u);
	EXPECT_EQ(t->vallen, 6u);
	w_tag_free(t);
}

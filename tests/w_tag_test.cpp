#include <gtest/gtest.h>

#include <clocale>

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

TEST(Tag, BytesAbove0x7FAreNeverChanged)
{
	std::setlocale(LC_ALL, "C.UTF-8");
	struct w_tag *t = w_tag_new("\xC3\x84RGER-Tag", "\xC3\x84");
	ASSERT_NE(t, nullptr);
	EXPECT_STREQ(t->key, "\xC3\x84rger-tag");
	EXPECT_STREQ(t->val, "\xC3\x84");
	EXPECT_EQ(t->keylen, 10u);
	w_tag_free(t);
	std::setlocale(LC_ALL, "C");
}

TEST(Tag, EmptyKeyAndValue)
{
	struct w_tag *t = w_tag_new("", "");
	ASSERT_NE(t, nullptr);
	EXPECT_EQ(t->keylen, 0u);
	EXPECT_EQ(t->vallen, 0u);
	EXPECT_STREQ(t->key, "");
	EXPECT_STREQ(t->val, "");
	w_tag_free(t);
	w_tag_free(nullptr);
}

TEST(Tag, KeycmpIgnoresCase)
{
	EXPECT_EQ(w_tag_keycmp("ArTiSt", "artist"), 0);
	EXPECT_LT(w_tag_keycmp("album", "ARTIST"), 0);
	EXPECT_GT(w_tag_keycmp("title", "artist"), 0);
}

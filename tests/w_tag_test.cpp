#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "w_tag.h"
#include "w_toolkit.h"

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

// A tag made from a document keeps its key's spelling beside the key, and
// its copies keep it too; any other tag spells its key lower-cased.
TEST(Tag, SpellingIsKeptWhereAsked)
{
	struct w_tag *t = w_tag_new_spelled("Acoustid Id", 11, "x", 1);
	ASSERT_NE(t, nullptr);
	EXPECT_STREQ(t->key, "acoustid id");
	EXPECT_STREQ(t->spelled, "Acoustid Id");
	struct w_tag *d = w_tag_dup(t);
	ASSERT_NE(d, nullptr);
	EXPECT_STREQ(d->key, "acoustid id");
	EXPECT_STREQ(d->spelled, "Acoustid Id");
	EXPECT_STREQ(d->val, "x");
	struct w_tag *plain = w_tag_new("Acoustid Id", "x");
	ASSERT_NE(plain, nullptr);
	EXPECT_EQ(plain->spelled, plain->key);
	w_tag_free(plain);
	w_tag_free(d);
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

TEST(Tag, EveryConstructorLowersTheKeyLikeStrtolower)
{
	std::setlocale(LC_ALL, "C.UTF-8");
	std::string bytes;
	for (int c = 1; c < 256; c++)
		bytes += static_cast<char>(c);
	std::string lowered = bytes;
	w_strtolower(lowered.data());

	struct w_tag *made = w_tag_new(bytes.c_str(), bytes.c_str());
	struct w_tag *counted = w_tag_new_len(bytes.data(), bytes.size(), bytes.data(), 3);
	ASSERT_TRUE(made && counted);
	struct w_tag *dup = w_tag_dup(made);
	ASSERT_NE(dup, nullptr);
	for (const w_tag *t : {made, counted, dup}) {
		EXPECT_EQ(std::string(t->key, t->keylen), lowered);
		EXPECT_EQ(t->key[t->keylen], '\0');
		EXPECT_EQ(t->val, t->key + t->keylen + 1);
		EXPECT_EQ(t->val[t->vallen], '\0');
	}
	EXPECT_EQ(std::string(made->val), bytes);
	EXPECT_EQ(std::string(dup->val), bytes);
	EXPECT_EQ(std::string(counted->val), bytes.substr(0, 3));
	for (w_tag *t : {made, counted, dup})
		w_tag_free(t);
	std::setlocale(LC_ALL, "C");
}

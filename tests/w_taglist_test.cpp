#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "w_taglist.h"
#include "w_tagsupport.h"

namespace {

using pairs = wt::tags;


// The tags in order; count must agree with them.
pairs
contents(const w_taglist *l)
{
	pairs p = wt::to_tags(l);
	EXPECT_EQ(p.size(), l->count);
	return p;
}

std::string
join(const w_taglist *l, const char *glue)
{
	char *s = w_taglist_join(l, glue);
	EXPECT_NE(s, nullptr);
	std::string r = s ? s : "";
	std::free(s);
	return r;
}

} // namespace

TEST(Taglist, KeepsOrderAndDuplicates)
{
	auto l = wt::to_taglist({{"Artist", "A"}, {"title", "T"}, {"artist", "A"}, {"artist", "A"}});
	EXPECT_EQ(contents(l.get()),
	    (pairs{{"artist", "A"}, {"title", "T"}, {"artist", "A"}, {"artist", "A"}}));
	EXPECT_EQ(l->count, 4u);
}

TEST(Taglist, FindAllMatchesAnyCaseAndCopies)
{
	auto l = wt::to_taglist({{"artist", "A"}, {"album", "B"}, {"ARTIST", "C"}});
	w_taglist_ptr found(w_taglist_find_all(l.get(), "ArTiSt"));
	ASSERT_NE(found, nullptr);
	EXPECT_EQ(contents(found.get()), (pairs{{"artist", "A"}, {"artist", "C"}}));

	w_taglist_ptr none(w_taglist_find_all(l.get(), "genre"));
	ASSERT_NE(none, nullptr);
	EXPECT_EQ(none->count, 0u);
	EXPECT_EQ(w_taglist_first(none.get()), nullptr);
	EXPECT_EQ(l->count, 3u); // source untouched
}

TEST(Taglist, Join)
{
	struct {
		pairs tags;
		const char *glue;
		const char *want;
	} cases[] = {
	    {{{"a", "a"}, {"b", "b"}, {"c", "c"}}, " + ", "a + b + c"},
	    {{{"a", "only"}}, " + ", "only"},
	    {{}, " + ", ""},
	    {{{"a", ""}, {"b", ""}}, ",", ","},
	    // Identical tags: the glue goes by position, not by content.
	    {{{"x", "v"}, {"x", "v"}}, "|", "v|v"},
	};
	for (const auto &c : cases) {
		auto l = wt::to_taglist(c.tags);
		EXPECT_EQ(join(l.get(), c.glue), c.want);
	}
}

TEST(Taglist, CloneIsIndependent)
{
	EXPECT_EQ(w_taglist_clone(nullptr), nullptr);

	w_taglist_ptr empty(w_taglist_new());
	w_taglist_ptr empty_clone(w_taglist_clone(empty.get()));
	ASSERT_NE(empty_clone, nullptr);
	EXPECT_EQ(empty_clone->count, 0u);

	auto l = wt::to_taglist({{"a", "1"}, {"b", "2"}});
	w_taglist_ptr c(w_taglist_clone(l.get()));
	l.reset();
	EXPECT_EQ(contents(c.get()), (pairs{{"a", "1"}, {"b", "2"}}));
	w_taglist_destroy(nullptr);
}

TEST(Taglist, LinkOperationsKeepCount)
{
	auto l = wt::to_taglist({{"a", "1"}, {"c", "3"}});
	struct w_tag *b = w_tag_new("b", "2");
	w_taglist_link_before(l.get(), w_taglist_last(l.get()), b);
	EXPECT_EQ(contents(l.get()), (pairs{{"a", "1"}, {"b", "2"}, {"c", "3"}}));
	struct w_tag *first = w_taglist_first(l.get());
	w_taglist_unlink(l.get(), first);
	w_tag_free(first);
	EXPECT_EQ(contents(l.get()), (pairs{{"b", "2"}, {"c", "3"}}));
	EXPECT_EQ(l->count, 2u);
}

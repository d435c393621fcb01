#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "w_taglist.h"
#include "w_yaml.h"
#include "w_yaml_plain.h"
#include "w_tagsupport.h"

namespace {

using pairs = wt::tags;


std::string
emitted(const w_taglist *l)
{
	w_sbuf sb;
	EXPECT_EQ(w_yaml_emit(l, sb), 0);
	return sb.str();
}

// The shortcut's text, or "" when it leaves the document to the emitter.
std::string
shortcut(const w_taglist *l)
{
	w_sbuf sb;
	return w_yaml_plain_doc(l, sb) ? sb.str() : std::string();
}

} // namespace

// Wherever the shortcut answers, it must answer exactly as the emitter.
TEST(YamlPlain, SameBytesAsTheEmitter)
{
	std::mt19937 rng(20261210);
	const std::string key_chars = "abcdefghijklmnopqrstuvwxyz0123456789_.-";
	const std::string value_chars =
	    "aAbBzZ09 -_.,;:#?!&*|>'\"%@`~[]{}()=+/\\<$^";
	auto pick = [&](const std::string &from, std::size_t n) {
		std::string s;
		for (std::size_t i = 0; i < n; i++)
			s += from[rng() % (rng() % 3 == 0 ? from.size() : 8)];
		return s;
	};
	int taken = 0;
	for (int round = 0; round < 4000; round++) {
		pairs p;
		std::size_t n = rng() % 5;
		for (std::size_t i = 0; i < n; i++) {
			std::size_t keylen = 1 + rng() % 12;
			std::size_t vallen = rng() % 4 == 0 ? 60 + rng() % 25 : rng() % 20;
			p.emplace_back(pick(key_chars, keylen), pick(value_chars, vallen));
		}
		w_taglist_ptr l = wt::to_taglist(p);
		std::string fast = shortcut(l.get());
		if (fast.empty())
			continue;
		taken++;
		ASSERT_EQ(fast, emitted(l.get())) << "round " << round;
	}
	// The comparison must not be vacuous.
	EXPECT_GT(taken, 1000);
}

TEST(YamlPlain, LeavesTheUnusualToTheEmitter)
{
	const std::string long_value(77, 'x'); // "- k: " and 77 bytes: 82 columns
	for (const pairs &p : std::vector<pairs>{
		 {{"k", ""}}, {{"k", " lead"}}, {{"k", "trail "}}, {{"k", "a: b"}}, {{"k", "a:"}},
		 {{"k", "a #b"}}, {{"k", "-x"}}, {{"k", "~"}}, {{"k", "caf\xC3\xA9"}},
		 {{"k", "tab\there"}}, {{"k", "two\nlines"}}, {{"k", long_value}}, {{"", "v"}},
		 {{"title", "ok"}, {"k", "'quoted"}}}) {
		w_taglist_ptr l = wt::to_taglist(p);
		EXPECT_EQ(shortcut(l.get()), "") << p.back().second;
	}
	w_taglist_ptr fits = wt::to_taglist({{"k", std::string(75, 'x')}}); // 80 columns
	EXPECT_EQ(shortcut(fits.get()), emitted(fits.get()));
	w_taglist_ptr empty = wt::to_taglist({});
	EXPECT_EQ(shortcut(empty.get()), "--- []\n");
	EXPECT_EQ(emitted(empty.get()), "--- []\n");
}

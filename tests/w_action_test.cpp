#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "w_action.h"
#include "w_fakebackend.h"
#include "w_format.h"
#include "w_settings.h"

namespace {

using pairs = std::vector<std::pair<std::string, std::string>>;

struct action_deleter {
	void operator()(w_action *a) const { w_action_free(a); }
};
using action_ptr = std::unique_ptr<w_action, action_deleter>;

// Runs one action on a tune over stored, saves, and returns what was saved.
pairs
apply(std::uint32_t kind, const char *arg, const pairs &stored, int *result = nullptr)
{
	wt::fake_file f;
	f.stored = stored;
	w_tune_ptr tune(wt::fake_tune(f));
	action_ptr a(w_action_new(kind, arg));
	EXPECT_NE(a, nullptr);
	int r = a->apply(a.get(), tune.get());
	if (result != nullptr)
		*result = r;
	EXPECT_EQ(w_tune_save(tune.get()), 0);
	return f.stored;
}

} // namespace

TEST(ActionExecutors, ChangeTheTagsAsAUserExpects)
{
	struct {
		std::uint32_t kind;
		const char *arg;
		pairs before;
		pairs after;
	} cases[] = {
	    {W_ACTION_ADD, "artist=B", {{"artist", "A"}}, {{"artist", "A"}, {"artist", "B"}}},
	    {W_ACTION_ADD, "a=b=c", {}, {{"a", "b=c"}}},
	    {W_ACTION_SET, "artist=X", {{"artist", "A"}, {"title", "T"}, {"artist", "B"}},
		{{"artist", "X"}, {"title", "T"}}},
	    {W_ACTION_SET, "genre=G", {{"artist", "A"}, {"title", "T"}},
		{{"artist", "A"}, {"title", "T"}, {"genre", "G"}}},
	    {W_ACTION_SET, "ARTIST=X", {{"title", "T"}, {"artist", "A"}},
		{{"title", "T"}, {"artist", "X"}}},
	    {W_ACTION_SET, "=x", {}, {{"", "x"}}},
	    {W_ACTION_SET, "comment=", {{"comment", "c"}}, {{"comment", ""}}},
	    {W_ACTION_CLEAR, "Artist", {{"artist", "A"}, {"title", "T"}, {"artist", "B"}},
		{{"title", "T"}}},
	    {W_ACTION_CLEAR, "genre", {{"title", "T"}}, {{"title", "T"}}},
	    {W_ACTION_CLEAR, "", {{"title", "T"}, {"artist", "A"}}, {}},
	};
	for (const auto &c : cases) {
		int r = -1;
		EXPECT_EQ(apply(c.kind, c.arg, c.before, &r), c.after) << c.arg;
		EXPECT_EQ(r, 0) << c.arg;
	}
}

TEST(ActionExecutors, ClearAlwaysMarksTheTuneDirty)
{
	wt::fake_file f;
	f.stored = {{"title", "T"}};
	w_tune_ptr tune(wt::fake_tune(f));
	action_ptr a(w_action_new(W_ACTION_CLEAR, "genre"));
	ASSERT_EQ(a->apply(a.get(), tune.get()), 0);
	EXPECT_EQ(tune->dirty, 1u);
}

TEST(ActionExecutors, UnreadableTags)
{
	// clear-all does not need the old tags; everything else fails.
	for (auto [kind, arg, want] : std::vector<std::tuple<std::uint32_t, const char *, int>>{
		 {W_ACTION_CLEAR, "", 0},
		 {W_ACTION_CLEAR, "artist", -1},
		 {W_ACTION_ADD, "a=b", -1},
		 {W_ACTION_SET, "a=b", -1},
		 {W_ACTION_PRINT, nullptr, -1},
	     }) {
		wt::fake_file f;
		f.fail_read = true;
		w_tune_ptr tune(wt::fake_tune(f));
		action_ptr a(w_action_new(kind, arg));
		EXPECT_EQ(a->apply(a.get(), tune.get()), want) << kind;
		EXPECT_EQ(tune->dirty, want == 0 ? 1u : 0u);
	}
}

TEST(ActionExecutors, TheActionsOwnTagServesEveryFile)
{
	action_ptr set(w_action_new(W_ACTION_SET, "artist=X"));
	for (int i = 0; i < 3; i++) {
		wt::fake_file f;
		f.stored = {{"artist", "A"}};
		w_tune_ptr tune(wt::fake_tune(f));
		ASSERT_EQ(set->apply(set.get(), tune.get()), 0);
		ASSERT_EQ(w_tune_save(tune.get()), 0);
		EXPECT_EQ(f.stored, (pairs{{"artist", "X"}}));
	}
}

TEST(ActionNew, Rejections)
{
	for (auto [kind, arg] : std::vector<std::pair<std::uint32_t, const char *>>{
		 {W_ACTION_ADD, "title"}, {W_ACTION_ADD, ""}, {W_ACTION_SET, ""}, {W_ACTION_RENAME, ""},
		 {W_ACTION_EXPORT_PICTURE, ""}, {W_ACTION_EXPORT_PICTURE, "front="},
		 {W_ACTION_EXPORT_PICTURE, "zz=cover"}, {W_ACTION_EXPORT_PICTURE, "0=cover"}, {99, nullptr}}) {
		errno = 0;
		EXPECT_EQ(w_action_new(kind, arg), nullptr);
		EXPECT_EQ(errno, EINVAL);
	}
	action_ptr backend(w_action_new(W_ACTION_BACKEND, nullptr));
	action_ptr load(w_action_new(W_ACTION_LOAD, ""));
	EXPECT_EQ(backend->may_write, 0);
	EXPECT_EQ(load->may_write, 1);
	EXPECT_STREQ(static_cast<const char *>(load->data), "");
}

TEST(ActionTokens, SortedAndMatchedWhole)
{
	for (std::size_t i = 1; i < std::size(w_action_tokens); i++)
		EXPECT_LT(std::string(w_action_tokens[i - 1].word), w_action_tokens[i].word);
	const w_action_token &print = w_action_tokens[9];
	ASSERT_STREQ(print.word, "print");
	for (const char *yes : {"print", "print:", "print:anything"})
		EXPECT_EQ(w_action_token_cmp(yes, &print), 0) << yes;
	for (const char *no : {"Print", "pr", "printer", "print=x", "prints:"})
		EXPECT_NE(w_action_token_cmp(no, &print), 0) << no;
}

TEST(ActionQueue, StopsAtTheFirstFile)
{
	std::vector<std::string> words{"set:a=1", "print:x", "backend", "song.flac", "add:b=2"};
	std::vector<char *> argv;
	for (auto &w : words)
		argv.push_back(w.data());
	int argc = static_cast<int>(argv.size());
	char **av = argv.data();
	w_actionQ *q = w_actionQ_new(&argc, &av);
	ASSERT_NE(q, nullptr);
	std::vector<std::uint32_t> kinds;
	w_action *a;
	TAILQ_FOREACH(a, q, entries)
		kinds.push_back(a->kind);
	EXPECT_EQ(kinds, (std::vector<std::uint32_t>{W_ACTION_SET, W_ACTION_PRINT, W_ACTION_BACKEND}));
	EXPECT_EQ(argc, 2);
	EXPECT_STREQ(av[0], "song.flac");
	w_actionQ_destroy(q);

	// No action word: one print action, nothing consumed.
	argc = 2;
	av = argv.data() + 3;
	q = w_actionQ_new(&argc, &av);
	ASSERT_NE(q, nullptr);
	EXPECT_EQ(TAILQ_FIRST(q)->kind, W_ACTION_PRINT);
	EXPECT_EQ(TAILQ_NEXT(TAILQ_FIRST(q), entries), nullptr);
	EXPECT_EQ(argc, 2);
	w_actionQ_destroy(q);
	w_actionQ_destroy(nullptr);
}

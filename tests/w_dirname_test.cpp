#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "w_basename.h"
#include "w_dirname.h"

TEST(DirnameBasename, Table)
{
	struct {
		const char *path;
		const char *dir;
		const char *base;
	} cases[] = {
	    {"a/b", "a", "b"},
	    {"/a/b/", "/a", "b"},
	    {"a//b", "a", "b"},
	    {"a", ".", "a"},
	    {"a//", ".", "a"},
	    {"/", "/", "/"},
	    {"///", "/", "/"},
	    {"/usr/", "/", "usr"},
	    {"//a", "/", "a"},
	    {"", ".", "."},
	    {"music/Artist/01 - Song.flac", "music/Artist", "01 - Song.flac"},
	};
	for (const auto &c : cases) {
		const char *d = w::dirname(c.path);
		const char *b = w::basename(c.path);
		// Each keeps its own buffer: the dirname result survives basename.
		EXPECT_STREQ(d, c.dir) << "dirname(" << c.path << ")";
		EXPECT_STREQ(b, c.base) << "basename(" << c.path << ")";
	}
	EXPECT_STREQ(w::dirname(nullptr), ".");
	EXPECT_STREQ(w::basename(nullptr), ".");
}

TEST(DirnameBasename, NeverModifyTheArgument)
{
	char path[] = "/a/b//";
	w::dirname(path);
	w::basename(path);
	EXPECT_STREQ(path, "/a/b//");
}

TEST(DirnameBasename, TooLongResults)
{
	std::string ok(1023, 'x');
	EXPECT_STREQ(w::basename(ok.c_str()), ok.c_str());
	EXPECT_STREQ(w::dirname((ok + "/f").c_str()), ok.c_str());

	std::string longer(1024, 'x');
	errno = 0;
	EXPECT_EQ(w::basename(longer.c_str()), nullptr);
	EXPECT_EQ(errno, ENAMETOOLONG);
	errno = 0;
	EXPECT_EQ(w::dirname((longer + "/f").c_str()), nullptr);
	EXPECT_EQ(errno, ENAMETOOLONG);
	// Only the result counts, not the argument.
	EXPECT_STREQ(w::basename(("/" + longer + "/b").c_str()), "b");
}

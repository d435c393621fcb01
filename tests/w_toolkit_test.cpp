#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <string>

#include "w_toolkit.h"

TEST(Toolkit, StrtolowerOnlyTouchesAscii)
{
	char s[] = "MiXeD \xC3\x84\xC3\x96 KEY=1";
	EXPECT_EQ(w_strtolower(s), s);
	EXPECT_STREQ(s, "mixed \xC3\x84\xC3\x96 key=1");
}

TEST(Toolkit, Utf8Validity)
{
	struct {
		std::string text;
		bool valid;
	} cases[] = {
	    {"", true},
	    {"plain ascii", true},
	    {"Bj\xC3\xB6rk \xE2\x82\xAC \xF0\x9F\x8E\xB5", true},
	    {"latin1 caf\xE9", false},
	    {"cut \xE2\x82", false},
	    {"overlong \xC0\xAF", false},
	    {"surrogate \xED\xA0\x80", false},
	    {"beyond \xF4\x90\x80\x80", false},
	    {"stray \x80", false},
	};
	for (const auto &c : cases)
		EXPECT_EQ(w_utf8_valid(c.text.data(), c.text.size()), c.valid) << c.text;
}

// The conversion sets the locale from the environment on first use, so
// each case runs in a child process with its own LC_ALL.
TEST(Toolkit, ConversionFollowsTheLocale)
{
	struct {
		const char *locale;
		const char *in;
		const char *out; // null: conversion fails
	} cases[] = {
	    {"C.UTF-8", "artist=Bj\xC3\xB6rk", "artist=Bj\xC3\xB6rk"},
	    {"C.UTF-8", "", ""},
	    {"C.UTF-8", "bad \xFF", nullptr},
	    {"C", "plain", "plain"},
	    {"C", "Bj\xC3\xB6rk", nullptr},
	};
	for (const auto &c : cases) {
		EXPECT_EXIT(
		    {
			    setenv("LC_ALL", c.locale, 1);
			    char *r = w_iconv_loc2utf8(c.in);
			    bool ok = c.out == nullptr ? r == nullptr : r != nullptr && std::string(r) == c.out;
			    std::exit(ok ? 0 : 1);
		    },
		    ::testing::ExitedWithCode(0), "")
		    << c.locale << " " << c.in;
	}
}

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "w_sbuf.h"

TEST(Sbuf, AppendsInOrder)
{
	w_sbuf sb;
	sb.cat("one");
	sb.putc(' ');
	sb.printf("%d %s", 2, "three");
	sb.bcat("\0x", 2); // bytes, NUL included
	ASSERT_EQ(sb.finish(), 0);
	EXPECT_EQ(sb.str(), std::string("one 2 three\0x", 13));
	char *copy = sb.dup();
	EXPECT_STREQ(copy, "one 2 three");
	std::free(copy);
}

namespace {

struct sink {
	std::string data;
	std::vector<std::size_t> pieces;
	int fail_after = -1; // drains before failing
};

ssize_t
drain(void *arg, const char *bytes, ssize_t len)
{
	auto *s = static_cast<sink *>(arg);
	if (s->fail_after == 0)
		return -1;
	if (s->fail_after > 0)
		s->fail_after--;
	s->data.append(bytes, static_cast<std::size_t>(len));
	s->pieces.push_back(static_cast<std::size_t>(len));
	return len;
}

} // namespace

TEST(Fixedbuf, DrainsInFullPiecesThenTheRest)
{
	sink s;
	w_fixedbuf fb(1024);
	ASSERT_TRUE(fb.ok());
	fb.set_drain(drain, &s);
	std::string input;
	for (int i = 0; i < 3000; i++)
		input.push_back(static_cast<char>('a' + i % 26));
	EXPECT_EQ(fb.bcat(input.data(), 1000), 0);
	EXPECT_EQ(fb.bcat(input.data() + 1000, 2000), 0);
	EXPECT_EQ(fb.finish(), 0);
	EXPECT_EQ(s.data, input);
	EXPECT_EQ(s.pieces, (std::vector<std::size_t>{1024, 1024, 952}));
}

TEST(Fixedbuf, DrainFailureSticks)
{
	sink s;
	s.fail_after = 1;
	w_fixedbuf fb(1024);
	fb.set_drain(drain, &s);
	std::string block(1500, 'x');
	EXPECT_EQ(fb.bcat(block.data(), block.size()), 0);  // one drain of 1024
	EXPECT_EQ(fb.bcat(block.data(), block.size()), -1); // the second fails
	EXPECT_TRUE(fb.failed());
	EXPECT_EQ(fb.bcat("y", 1), -1);
	EXPECT_EQ(fb.finish(), -1);
	EXPECT_EQ(s.data.size(), 1024u);
}

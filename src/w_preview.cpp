#include "w_preview.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <new>

#include "w_settings.h"
#include "w_toolkit.h"
#include "w_utf8.h"

namespace {

std::vector<std::string>
split_lines(const std::string &text)
{
	std::vector<std::string> lines;
	std::size_t at = 0;
	while (at < text.size()) {
		std::size_t nl = text.find('\n', at);
		if (nl == std::string::npos)
			nl = text.size();
		lines.push_back(text.substr(at, nl - at));
		at = nl + 1;
	}
	return lines;
}

} // namespace

std::vector<std::string>
w_preview_diff(const std::string &a, const std::string &b)
{
	const std::vector<std::string> x = split_lines(a), y = split_lines(b);
	// The common head and tail need no table: most changes touch a few
	// lines of a short document.
	std::size_t head = 0;
	while (head < x.size() && head < y.size() && x[head] == y[head])
		head++;
	std::size_t tail = 0;
	while (tail < x.size() - head && tail < y.size() - head &&
	    x[x.size() - 1 - tail] == y[y.size() - 1 - tail])
		tail++;
	const std::size_t n = x.size() - head - tail, m = y.size() - head - tail;
	// lcs[i][j]: the longest common run of x[head+i..] and y[head+j..].
	std::vector<std::vector<unsigned>> lcs(n + 1, std::vector<unsigned>(m + 1, 0));
	for (std::size_t i = n; i-- > 0;)
		for (std::size_t j = m; j-- > 0;)
			lcs[i][j] = x[head + i] == y[head + j] ? lcs[i + 1][j + 1] + 1
			    : std::max(lcs[i + 1][j], lcs[i][j + 1]);
	std::vector<std::string> out;
	std::size_t i = 0, j = 0;
	while (i < n || j < m) {
		if (i < n && j < m && x[head + i] == y[head + j]) {
			i++;
			j++;
		} else if (j == m || (i < n && lcs[i + 1][j] >= lcs[i][j + 1])) {
			out.push_back("-" + x[head + i++]);
		} else {
			out.push_back("+" + y[head + j++]);
		}
	}
	return out;
}

namespace {

// Prints the path (and what follows it) and the lines that go and come
// between the documents a and b; nothing when they are the same.  0, or -1
// (said) when memory runs out.
int
print_diff(FILE *out, const char *path, const char *heading, const char *a, const char *b)
{
	try {
		const std::vector<std::string> lines = w_preview_diff(a, b);
		if (lines.empty())
			return 0;
		std::fprintf(out, "%s%s\n", w_escape(path, std::strlen(path)).c_str(), heading);
		for (const std::string &line : lines)
			std::fprintf(out, "%s\n", line.c_str());
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		warn("%s", path);
		return -1;
	}
	return 0;
}

} // namespace

int
w_preview_tags(FILE *out, const char *path, const struct w_taglist *old,
    const struct w_taglist *neo)
{
	assert(out != NULL);
	assert(path != NULL);
	assert(old != NULL);
	assert(neo != NULL);

	w_cstr_ptr a(Fflag->tags2fmt(old, path));
	w_cstr_ptr b(a != nullptr ? Fflag->tags2fmt(neo, path) : nullptr);
	if (a == nullptr || b == nullptr) {
		if (errno == ENOMEM)
			warn("%s", path);
		return -1;
	}
	return print_diff(out, path, "", a.get(), b.get());
}

int
w_preview_picture_listing(struct w_tune *tune, std::string *was)
{
	assert(tune != NULL);
	assert(was != NULL);

	was->clear();
	if (!w_tune_pictures_changed(tune))
		return 0;
	try {
		std::vector<w_picture> held;
		if (w_tune_backend(tune)->pictures(tune->opaque, &held) == -1) {
			warn("%s", w_tune_path(tune));
			return -1;
		}
		for (std::size_t i = 0; i < held.size(); i++) {
			w_picture_complete(&held[i]);
			*was += w_picture_line(i + 1, held[i]) + '\n';
		}
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		warn("%s", w_tune_path(tune));
		return -1;
	}
	return 0;
}

int
w_preview_pictures(FILE *out, struct w_tune *tune, const std::string &was)
{
	assert(out != NULL);
	assert(tune != NULL);

	if (!w_tune_pictures_changed(tune))
		return 0;
	const char *path = w_tune_path(tune);
	std::string b;
	try {
		const std::vector<w_picture_slot> &plan = *tune->pictures;
		for (std::size_t i = 0; i < plan.size(); i++)
			b += w_picture_line(i + 1, plan[i].pic) + '\n';
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		warn("%s", path);
		return -1;
	}
	return print_diff(out, path, ": pictures", was.c_str(), b.c_str());
}

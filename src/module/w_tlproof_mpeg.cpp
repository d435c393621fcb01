#include "w_tlproofcore.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "w_tlmodule.h"

namespace w_tl {

namespace {

// ---- APE and ID3v1, at the end of an MPEG file ----

int
ape_field(std::string key)
{
	for (char &c : key)
		c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
	static const char *const keys[W_TL_NFIELDS] = {"TITLE", "ARTIST", "YEAR", "ALBUM", "TRACK", "GENRE",
	    "COMMENT"};
	for (int i = 0; i < W_TL_NFIELDS; i++) {
		if (key == keys[i])
			return i;
	}
	return -1;
}

// The items of an APE tag whose footer ends at end and whose items start
// at start.
bool
ape_items(const file_view &f, std::uint64_t start, std::uint64_t end, std::vector<tag_item> *out)
{
	const std::string footer = f.read(end - 32, 32);
	const std::uint32_t count = le32(footer, 16);
	const std::string d = f.read(start, end - 32 - start);
	std::size_t pos = 0;
	for (std::uint32_t i = 0; i < count; i++) {
		if (pos + 8 > d.size())
			return false;
		const std::uint32_t size = le32(d, pos);
		const std::size_t nul = d.find('\0', pos + 8);
		if (nul == std::string::npos || size > d.size() - nul - 1)
			return false;
		const std::string key = d.substr(pos + 8, nul - pos - 8);
		out->push_back({"APE items", key, d.substr(pos + 4, 4) + key + '\0' + d.substr(nul + 1, size),
		    ape_field(key)});
		pos = nul + 1 + size;
	}
	return true;
}

// The fields of an ID3v1 tag, each as a reader takes it: up to its first
// NUL, without the blanks around it.
void
id3v1_items(const std::string &t, std::vector<tag_item> *out)
{
	auto text = [&](std::size_t at, std::size_t n) {
		std::string s = t.substr(at, n);
		s.resize(std::min(s.find('\0'), s.size()));
		const auto first = s.find_first_not_of(" \t\n\r");
		if (first == std::string::npos)
			return std::string();
		return s.substr(first, s.find_last_not_of(" \t\n\r") - first + 1);
	};
	const bool has_track = t[125] == '\0' && t[126] != '\0';
	const std::pair<const char *, std::pair<std::string, int>> fields[] = {
	    {"title", {text(3, 30), W_TL_TITLE}},
	    {"artist", {text(33, 30), W_TL_ARTIST}},
	    {"album", {text(63, 30), W_TL_ALBUM}},
	    {"year", {text(93, 4), W_TL_YEAR}},
	    {"comment", {text(97, has_track ? 28 : 30), W_TL_COMMENT}},
	    {"track", {has_track ? t.substr(126, 1) : "", W_TL_TRACK}},
	    {"genre", {static_cast<unsigned char>(t[127]) != 0xff ? t.substr(127, 1) : "", W_TL_GENRE}},
	};
	for (const auto &[name, value] : fields) {
		if (!value.first.empty())
			out->push_back({"ID3v1 fields", name, std::string(name) + '\0' + value.first, value.second});
	}
}

struct span {
	std::uint64_t pos = 0;
	std::uint64_t len = 0;
	std::uint64_t end() const { return pos + len; }
};

// The tags of an MPEG file, as TagLib finds them, and their items; false
// when a tag cannot be read whole.
bool
mpeg_tags(const file_view &f, span *id3v2, span *ape, span *id3v1, std::vector<tag_item> *items)
{
	*id3v2 = *ape = *id3v1 = span{};
	const std::uint64_t size = f.size();
	const std::uint64_t tag = std::min(id3v2_size(f.read(0, 10)), size);
	if (tag > 0) {
		*id3v2 = {0, tag};
		if (!id3v2_items(f.read(0, tag), items))
			return false;
	}
	if (size >= tag + 128 && f.read(size - 128, 3) == "TAG") {
		*id3v1 = {size - 128, 128};
		id3v1_items(f.read(size - 128, 128), items);
	}
	const std::uint64_t end = id3v1->len > 0 ? id3v1->pos : size;
	if (end >= tag + 32) {
		const std::string footer = f.read(end - 32, 32);
		if (footer.compare(0, 8, "APETAGEX") == 0) {
			const std::uint64_t whole = std::uint64_t{le32(footer, 12)} +
			    ((le32(footer, 20) & 0x80000000u) != 0 ? 32 : 0);
			if (le32(footer, 12) < 32 || whole > end - tag)
				return false;
			*ape = {end - whole, whole};
			const std::uint64_t items_at = end - le32(footer, 12);
			if (!ape_items(f, items_at, end, items))
				return false;
		}
	}
	return true;
}

} // namespace

void
prove_mpeg(const file_view &old, const file_view &neo, const item_rule &rule, verdict *v)
{
	span o2, oape, o1, n2, nape, n1;
	std::vector<tag_item> old_items, new_items;
	if (!mpeg_tags(old, &o2, &oape, &o1, &old_items))
		return v->fail("would lose a tag that cannot be read whole");
	if (!mpeg_tags(neo, &n2, &nape, &n1, &new_items))
		return v->fail("would leave a tag that cannot be read back");
	compare(old_items, new_items, rule, v);
	const std::uint64_t old_end = oape.len > 0 ? oape.pos : o1.len > 0 ? o1.pos : old.size();
	const std::uint64_t new_end = nape.len > 0 ? nape.pos : n1.len > 0 ? n1.pos : neo.size();
	const std::uint64_t old_len = old_end - std::min(old_end, o2.end());
	if (new_end - std::min(new_end, n2.end()) != old_len || !old.same(o2.end(), neo, n2.end(), old_len))
		v->fail("would change the audio");
}

} // namespace w_tl

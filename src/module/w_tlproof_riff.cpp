#include "w_tlproofcore.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "w_tlmodule.h"

namespace w_tl {

namespace {

// ---- RIFF/WAVE and FORM/AIFF ----

struct chunk {
	std::string name;
	std::uint64_t pos;  // of its header
	std::uint32_t size; // of its data
};

// Whether TagLib takes four bytes for a chunk name.
bool
chunk_name(const std::string &n)
{
	return n.size() == 4 && std::all_of(n.begin(), n.end(), [](char c) {
		auto u = static_cast<unsigned char>(c);
		return u >= 32 && u <= 127;
	});
}

// The chunks of the container, walked as TagLib walks them: a pad byte
// after an odd end is taken when it is zero or a chunk name follows it,
// and the walk stops at a chunk that is no chunk to TagLib (a bad name, a
// size past the end).  *rest is where it stopped.  False when the file is
// no such container.
bool
riff_chunks(const file_view &f, bool *big_endian, std::vector<chunk> *chunks, std::uint64_t *rest)
{
	const std::string head = f.read(0, 12);
	if (head.size() < 12)
		return false;
	// TagLib looks no further than the container's name.
	if (head.compare(0, 4, "RIFF") == 0)
		*big_endian = false;
	else if (head.compare(0, 4, "FORM") == 0)
		*big_endian = true;
	else
		return false;
	std::uint64_t pos = 12;
	while (pos + 8 <= f.size()) {
		const std::string h = f.read(pos, 8);
		const std::uint32_t size = *big_endian ? be32(h, 4) : le32(h, 4);
		if (!chunk_name(h.substr(0, 4)) || pos + 8 + size > f.size())
			break;
		chunks->push_back({h.substr(0, 4), pos, size});
		pos += 8 + std::uint64_t{size};
		if ((pos & 1) != 0) {
			const std::string next = f.read(pos, 5);
			if (!next.empty() && (next[0] == '\0' || chunk_name(next.substr(1))))
				pos++;
		}
	}
	*rest = pos;
	return true;
}

bool
is_info(const file_view &f, const chunk &c)
{
	return c.name == "LIST" && c.size >= 4 && f.read(c.pos + 8, 4) == "INFO";
}

int
info_field(const std::string &id)
{
	static const char *const ids[W_TL_NFIELDS] = {"INAM", "IART", "ICRD", "IPRD", "IPRT", "IGNR", "ICMT"};
	for (int i = 0; i < W_TL_NFIELDS; i++) {
		if (id == ids[i])
			return i;
	}
	return -1;
}

// The chunks of a LIST/INFO chunk, each value up to its trailing NULs.
void
info_items(const std::string &d, std::vector<tag_item> *out)
{
	std::size_t pos = 4;
	while (pos + 8 <= d.size()) {
		const std::string id = d.substr(pos, 4);
		const std::uint32_t size = le32(d, pos + 4);
		std::string value = d.substr(pos + 8, size);
		value.resize(value.find_last_not_of('\0') == std::string::npos ? 0 : value.find_last_not_of('\0') + 1);
		out->push_back({"INFO chunks", id, id + value, info_field(id)});
		pos += 8 + std::uint64_t{size} + (size & 1);
	}
}

// The chunks in their order, each tag chunk by its kind.
std::vector<std::string>
chunk_order(const file_view &f, const std::vector<chunk> &cs)
{
	std::vector<std::string> out;
	for (const chunk &c : cs)
		out.push_back(c.name == "ID3 " || c.name == "id3 " ? "ID3" : is_info(f, c) ? "INFO" : c.name);
	return out;
}

// Drops from order the tag chunks of a kind that other does not hold: a
// write may add a tag, or take one away.
void
drop_tags_alone(std::vector<std::string> *order, const std::vector<std::string> &other)
{
	for (const char *kind : {"ID3", "INFO"}) {
		if (std::find(other.begin(), other.end(), kind) == other.end())
			order->erase(std::remove(order->begin(), order->end(), kind), order->end());
	}
}

} // namespace

void
prove_riff(const file_view &old, const file_view &neo, const item_rule &rule, verdict *v)
{
	bool old_be = false, new_be = false;
	std::vector<chunk> oc, nc;
	std::uint64_t old_rest = 0, new_rest = 0;
	if (!riff_chunks(old, &old_be, &oc, &old_rest))
		return v->fail("would rewrite chunks that cannot be walked");
	if (!riff_chunks(neo, &new_be, &nc, &new_rest) || new_be != old_be)
		return v->fail("would leave chunks that cannot be walked");
	// Tags on one side, every other chunk on the other, in its order.
	auto split = [](const file_view &f, const std::vector<chunk> &cs, std::vector<tag_item> *items,
			 std::vector<chunk> *others) {
		for (const chunk &c : cs) {
			if (c.name == "ID3 " || c.name == "id3 ") {
				const std::string d = f.read(c.pos + 8, c.size);
				const std::uint64_t size = std::min<std::uint64_t>(id3v2_size(d), d.size());
				if (size > 0 && !id3v2_items(d.substr(0, size), items))
					return false;
			} else if (is_info(f, c)) {
				info_items(f.read(c.pos + 8, c.size), items);
			} else {
				others->push_back(c);
			}
		}
		return true;
	};
	std::vector<tag_item> old_items, new_items;
	std::vector<chunk> old_others, new_others;
	if (!split(old, oc, &old_items, &old_others))
		return v->fail("would lose a tag that cannot be read whole");
	if (!split(neo, nc, &new_items, &new_others))
		return v->fail("would leave a tag that cannot be read back");
	compare(old_items, new_items, rule, v);
	for (std::size_t i = 0; i < old_others.size(); i++) {
		const chunk &o = old_others[i];
		const bool kept = i < new_others.size() && new_others[i].name == o.name &&
		    new_others[i].size == o.size && old.same(o.pos + 8, neo, new_others[i].pos + 8, o.size);
		if (!kept)
			return v->fail(o.name == "data" || o.name == "SSND" ? "would change the audio"
									      : "would change the chunk '" + o.name + "'");
	}
	if (new_others.size() > old_others.size())
		return v->fail("would add the chunk '" + new_others[old_others.size()].name + "'");
	std::vector<std::string> old_order = chunk_order(old, oc), new_order = chunk_order(neo, nc);
	drop_tags_alone(&old_order, new_order);
	drop_tags_alone(&new_order, old_order);
	if (old_order != new_order)
		return v->fail("would change the order of the chunks");
	// The container's size keeps its relation to the file's: what it
	// leaves out (or claims beyond the end) stays.
	const std::string oh = old.read(4, 4), nh = neo.read(4, 4);
	const std::uint64_t old_size = old_be ? be32(oh, 0) : le32(oh, 0);
	const std::uint64_t new_size = new_be ? be32(nh, 0) : le32(nh, 0);
	if (new_size + old.size() != old_size + neo.size())
		return v->fail("would leave a container size that does not fit the file");
	// Bytes after the last chunk stay too.
	const std::uint64_t tail = old.size() - old_rest;
	if (neo.size() - new_rest != tail || !old.same(old_rest, neo, new_rest, tail))
		v->fail("would change the bytes after the last chunk");
}

} // namespace w_tl

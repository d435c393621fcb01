#include "w_tlproof.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <unistd.h>

#include "w_tlframes.h"

namespace w_tl {

// ---- The views ----

file_view::file_view(int fd, std::uint64_t size) : fd_(fd), size_(size)
{
	if (size > 0)
		runs_.push_back({nullptr, 0, size, 0});
}

file_view::file_view(const w_tlplan &plan) : fd_(plan.fd)
{
	for (std::size_t i = 0; i < plan.count; i++) {
		const w_tlpiece &p = plan.pieces[i];
		if (p.length == 0)
			continue;
		runs_.push_back({p.data, p.offset, p.length, size_});
		size_ += p.length;
	}
}

std::size_t
file_view::find(std::uint64_t pos) const
{
	auto it = std::upper_bound(runs_.begin(), runs_.end(), pos,
	    [](std::uint64_t p, const run &r) { return p < r.at; });
	return static_cast<std::size_t>(it - runs_.begin()) - 1;
}

std::string
file_view::read(std::uint64_t off, std::uint64_t n) const
{
	if (off >= size_)
		return "";
	n = std::min(n, size_ - off);
	std::string out(static_cast<std::size_t>(n), '\0');
	std::size_t done = 0;
	for (std::size_t i = find(off); done < n; i++) {
		const run &r = runs_[i];
		const std::uint64_t skip = off + done - r.at;
		const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(r.length - skip, n - done));
		if (r.data != nullptr) {
			std::memcpy(out.data() + done, r.data + skip, take);
			done += take;
			continue;
		}
		for (std::size_t got_all = 0; got_all < take;) {
			ssize_t got = pread(fd_, out.data() + done + got_all, take - got_all,
			    static_cast<off_t>(r.offset + skip + got_all));
			if (got < 0 && errno == EINTR)
				continue;
			if (got <= 0)
				throw io_error{got == 0 ? EIO : errno};
			got_all += static_cast<std::size_t>(got);
		}
		done += take;
	}
	return out;
}

bool
file_view::same(std::uint64_t a, const file_view &other, std::uint64_t b, std::uint64_t n) const
{
	while (n > 0) {
		const run &ra = runs_[find(a)];
		const run &rb = other.runs_[other.find(b)];
		std::uint64_t k = std::min({ra.at + ra.length - a, rb.at + rb.length - b, n});
		const bool in_place = ra.data == nullptr && rb.data == nullptr && fd_ == other.fd_ &&
		    ra.offset + (a - ra.at) == rb.offset + (b - rb.at);
		if (!in_place) {
			for (std::uint64_t done = 0; done < k;) {
				const std::uint64_t step = std::min<std::uint64_t>(k - done, 1 << 16);
				if (read(a + done, step) != other.read(b + done, step))
					return false;
				done += step;
			}
		}
		a += k;
		b += k;
		n -= k;
	}
	return true;
}

namespace {

std::uint32_t
be32(const std::string &s, std::size_t at)
{
	const auto *b = reinterpret_cast<const unsigned char *>(s.data()) + at;
	return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

std::uint32_t
le32(const std::string &s, std::size_t at)
{
	const auto *b = reinterpret_cast<const unsigned char *>(s.data()) + at;
	return (std::uint32_t{b[3]} << 24) | (std::uint32_t{b[2]} << 16) | (std::uint32_t{b[1]} << 8) | b[0];
}

// ---- Items, and what a write may do to them ----

// Where the proof stands: what would be lost, or what else is wrong.
struct verdict {
	std::vector<std::pair<const char *, std::vector<std::string>>> lost;
	std::string other;

	void lose(const char *kind, const std::string &name)
	{
		auto it = std::find_if(lost.begin(), lost.end(), [&](const auto &l) { return l.first == kind; });
		if (it == lost.end()) {
			lost.emplace_back(kind, std::vector<std::string>{});
			it = lost.end() - 1;
		}
		if (std::find(it->second.begin(), it->second.end(), name) == it->second.end())
			it->second.push_back(name);
	}
	void fail(const std::string &why)
	{
		if (other.empty())
			other = why;
	}
	std::string text() const
	{
		if (!lost.empty()) {
			std::string s = "would lose";
			for (const auto &[kind, names] : lost) {
				s += (&kind == &lost.front().first ? " " : "; ") + std::string(kind);
				for (std::size_t i = 0; i < names.size(); i++)
					s += (i == 0 ? " " : ", ") + names[i];
			}
			return s;
		}
		return other;
	}
};

// Every old item outside the changed fields must be among the new ones,
// and a new item belongs to one of the fields, whose values are checked
// once the new file is read back.
void
compare(const std::vector<tag_item> &old, const std::vector<tag_item> &neo, const item_rule &rule, verdict *v)
{
	std::multimap<std::string, std::size_t> left;
	for (std::size_t i = 0; i < neo.size(); i++)
		left.emplace(std::string(neo[i].kind) + '\0' + neo[i].bytes, i);
	for (const tag_item &it : old) {
		auto found = left.find(std::string(it.kind) + '\0' + it.bytes);
		if (found != left.end()) {
			left.erase(found);
			continue;
		}
		if (!rule.may_lose(it))
			v->lose(it.kind, it.name);
	}
	for (const auto &[key, i] : left) {
		if (!rule.may_add(neo[i]))
			v->fail(std::string("would add ") + neo[i].kind + " " + neo[i].name);
	}
}

// ---- ID3v2 ----

// The tag whose header is at the start of head, its whole size from the
// header (0: no tag there).
std::uint64_t
id3v2_size(const std::string &head)
{
	const auto *b = reinterpret_cast<const unsigned char *>(head.data());
	if (head.size() < 10 || head.compare(0, 3, "ID3") != 0 || b[3] < 2 || b[3] > 4 ||
	    (b[6] | b[7] | b[8] | b[9]) >= 0x80)
		return 0;
	return 10 + std::uint64_t{id3_size(b + 6, true)} + (b[3] == 4 && (b[5] & 0x10) != 0 ? 10 : 0);
}

bool
id3v2_items(const std::string &tag, std::vector<tag_item> *out)
{
	id3_tag t;
	if (!id3v2_parse(tag, &t))
		return false;
	for (const id3_item &it : t.items) {
		std::string bytes = it.id;
		bytes.push_back(static_cast<char>(it.flags >> 8));
		bytes.push_back(static_cast<char>(it.flags & 0xff));
		out->push_back({"frames", it.id, bytes + it.data, it.field});
	}
	return true;
}

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
	// Bytes after the last chunk stay too.
	const std::uint64_t tail = old.size() - old_rest;
	if (neo.size() - new_rest != tail || !old.same(old_rest, neo, new_rest, tail))
		v->fail("would change the bytes after the last chunk");
}

// ---- MP4 ----

struct atom {
	std::string type;
	std::uint64_t pos;  // of its header
	std::uint64_t size; // header included
	std::uint64_t body; // where its contents start
};

// The atoms from start to end; false when one runs past end.
bool
atoms(const file_view &f, std::uint64_t start, std::uint64_t end, std::vector<atom> *out)
{
	out->clear();
	std::uint64_t pos = start;
	while (pos + 8 <= end) {
		const std::string h = f.read(pos, 16);
		std::uint64_t size = be32(h, 0);
		std::uint64_t header = 8;
		if (size == 1) {
			if (h.size() < 16)
				return false;
			size = (std::uint64_t{be32(h, 8)} << 32) | be32(h, 12);
			header = 16;
		} else if (size == 0) {
			size = end - pos;
		}
		if (size < header || size > end - pos)
			return false;
		out->push_back({h.substr(4, 4), pos, size, pos + header});
		pos += size;
	}
	return pos == end;
}

std::string
atom_name(const std::string &type)
{
	std::string s;
	for (char c : type) {
		if (static_cast<unsigned char>(c) == 0xa9)
			s += "\xc2\xa9";
		else
			s.push_back(c);
	}
	return s;
}

int
ilst_field(const std::string &type)
{
	static const std::pair<const char *, int> types[] = {{"\xa9nam", W_TL_TITLE}, {"\xa9" "ART", W_TL_ARTIST},
	    {"\xa9" "day", W_TL_YEAR}, {"\xa9" "alb", W_TL_ALBUM}, {"trkn", W_TL_TRACK}, {"\xa9gen", W_TL_GENRE},
	    {"gnre", W_TL_GENRE}, {"\xa9" "cmt", W_TL_COMMENT}};
	for (const auto &[t, field] : types) {
		if (type == t)
			return field;
	}
	return -1;
}

// The items of an ilst atom, each whole.
bool
ilst_items(const file_view &f, const atom &ilst, std::vector<tag_item> *out)
{
	std::vector<atom> items;
	if (!atoms(f, ilst.body, ilst.pos + ilst.size, &items))
		return false;
	for (const atom &a : items) {
		std::string name = atom_name(a.type);
		if (a.type == "----") {
			// A freeform item is named by its mean and name atoms.
			std::vector<atom> parts;
			std::string mean, label;
			if (atoms(f, a.body, a.pos + a.size, &parts)) {
				for (const atom &p : parts) {
					if (p.pos + p.size < p.body + 4)
						continue;
					const std::string text = f.read(p.body + 4, p.pos + p.size - p.body - 4);
					if (p.type == "mean")
						mean = text;
					else if (p.type == "name")
						label = text;
				}
			}
			name += ":" + mean + ":" + label;
		}
		out->push_back({"items", name, f.read(a.pos, a.size), ilst_field(a.type)});
	}
	return true;
}

// What is needed of an MP4 file: the atoms beside moov (the media among
// them), the chunk offset tables, and the ilst items.
struct mp4_parts {
	std::vector<atom> top;    // not moov, nor padding
	std::vector<atom> tables; // stco and co64, in their order
	std::vector<tag_item> items;
};

bool
padding(const std::string &type)
{
	return type == "free" || type == "skip" || type == "wide";
}

// Takes the items of a udta, meta or ilst atom that only the new file has.
bool
collect_new(const file_view &f, const atom &a, mp4_parts *p)
{
	if (a.type == "ilst")
		return ilst_items(f, a, &p->items);
	if (a.type != "udta" && a.type != "meta")
		return true;
	std::vector<atom> cs;
	if (!atoms(f, a.body + (a.type == "meta" ? 4 : 0), a.pos + a.size, &cs))
		return false;
	return std::all_of(cs.begin(), cs.end(), [&](const atom &c) { return collect_new(f, c, p); });
}

// Walks the moov atom: the atoms TagLib changes (udta with meta and ilst,
// the offset tables) are taken apart, and every other atom must be equal
// in the new file.  A udta, meta, hdlr or ilst may be new.
bool
compare_moov(const file_view &old, const atom &oa, const file_view &neo, const atom &na, mp4_parts *op,
    mp4_parts *np, verdict *v)
{
	static const char *const containers[] = {"moov", "trak", "mdia", "minf", "stbl", "udta", "meta", "edts", "dinf"};
	auto children = [](const file_view &f, const atom &a, std::vector<atom> *out) {
		const std::uint64_t skip = a.type == "meta" ? 4 : 0;
		std::vector<atom> all;
		if (!atoms(f, a.body + skip, a.pos + a.size, &all))
			return false;
		out->clear();
		for (const atom &c : all) {
			if (!padding(c.type))
				out->push_back(c);
		}
		return true;
	};
	std::vector<atom> oc, nc;
	if (!children(old, oa, &oc) || !children(neo, na, &nc))
		return false;
	auto may_be_new = [&](const std::string &t) {
		return (oa.type == "moov" && t == "udta") || (oa.type == "udta" && t == "meta") ||
		    (oa.type == "meta" && (t == "hdlr" || t == "ilst"));
	};
	std::size_t j = 0;
	for (std::size_t i = 0; i < oc.size(); i++, j++) {
		while (j < nc.size() && nc[j].type != oc[i].type && may_be_new(nc[j].type)) {
			if (!collect_new(neo, nc[j], np))
				return false;
			j++;
		}
		if (j == nc.size() || nc[j].type != oc[i].type) {
			v->fail("would lose the atom '" + atom_name(oc[i].type) + "'");
			return true;
		}
		const atom &o = oc[i], &n = nc[j];
		if (o.type == "ilst" && oa.type == "meta") {
			if (!ilst_items(old, o, &op->items) || !ilst_items(neo, n, &np->items))
				return false;
		} else if (o.type == "stco" || o.type == "co64") {
			op->tables.push_back(o);
			np->tables.push_back(n);
		} else if (std::find(std::begin(containers), std::end(containers), o.type) != std::end(containers) &&
		    (o.type != "meta" || oa.type == "udta")) {
			if (!compare_moov(old, o, neo, n, op, np, v))
				return false;
		} else if (o.size != n.size || !old.same(o.pos, neo, n.pos, o.size)) {
			v->fail("would change the atom '" + atom_name(o.type) + "'");
		}
	}
	for (; j < nc.size(); j++) {
		if (!may_be_new(nc[j].type)) {
			v->fail("would add the atom '" + atom_name(nc[j].type) + "'");
			return true;
		}
		if (!collect_new(neo, nc[j], np))
			return false;
	}
	return true;
}

// The chunk offsets of a stco or co64 atom.
bool
offsets(const file_view &f, const atom &a, std::vector<std::uint64_t> *out)
{
	const std::string d = f.read(a.body, a.pos + a.size - a.body);
	const std::size_t width = a.type == "co64" ? 8 : 4;
	if (d.size() < 8 || (d.size() - 8) / width < be32(d, 4))
		return false;
	out->clear();
	for (std::uint32_t i = 0; i < be32(d, 4); i++) {
		const std::size_t at = 8 + i * width;
		out->push_back(width == 4 ? be32(d, at) : (std::uint64_t{be32(d, at)} << 32) | be32(d, at + 4));
	}
	return true;
}

void
prove_mp4(const file_view &old, const file_view &neo, const item_rule &rule, verdict *v)
{
	std::vector<atom> ot, nt;
	if (!atoms(old, 0, old.size(), &ot))
		return v->fail("would rewrite atoms that cannot be walked");
	if (!atoms(neo, 0, neo.size(), &nt))
		return v->fail("would leave atoms that cannot be walked");
	mp4_parts op, np;
	const atom *om = nullptr, *nm = nullptr;
	for (const atom &a : ot) {
		if (a.type == "moov")
			om = om == nullptr ? &a : nullptr;
		else if (!padding(a.type))
			op.top.push_back(a);
	}
	for (const atom &a : nt) {
		if (a.type == "moov")
			nm = nm == nullptr ? &a : nullptr;
		else if (!padding(a.type))
			np.top.push_back(a);
	}
	if (om == nullptr || nm == nullptr)
		return v->fail("would rewrite a file without one moov atom");
	if (!compare_moov(old, *om, neo, *nm, &op, &np, v))
		return v->fail("would leave atoms that cannot be walked");
	compare(op.items, np.items, rule, v);
	// The media: every atom beside moov, with the same bytes.
	if (op.top.size() != np.top.size())
		return v->fail("would change the atoms beside moov");
	for (std::size_t i = 0; i < op.top.size(); i++) {
		const atom &o = op.top[i], &n = np.top[i];
		if (o.type != n.type || o.size != n.size || !old.same(o.pos, neo, n.pos, o.size))
			return v->fail(o.type == "mdat" ? "would change the audio"
							: "would change the atom '" + atom_name(o.type) + "'");
	}
	// Every chunk offset points at the same bytes of the same atom.
	if (op.tables.size() != np.tables.size())
		return v->fail("would change the audio");
	for (std::size_t t = 0; t < op.tables.size(); t++) {
		std::vector<std::uint64_t> oo, no;
		if (!offsets(old, op.tables[t], &oo) || !offsets(neo, np.tables[t], &no) || oo.size() != no.size())
			return v->fail("would change the audio");
		for (std::size_t i = 0; i < oo.size(); i++) {
			auto in = std::find_if(op.top.begin(), op.top.end(),
			    [&](const atom &a) { return oo[i] >= a.pos && oo[i] < a.pos + a.size; });
			if (in == op.top.end())
				return v->fail("would change the audio");
			const atom &n = np.top[static_cast<std::size_t>(in - op.top.begin())];
			if (no[i] != n.pos + (oo[i] - in->pos))
				return v->fail("would change the audio");
		}
	}
}

} // namespace

namespace {

// The basic fields' rule: an item of a changed field may go, and a new
// item must belong to one of the fields.
item_rule
basic_rule(const bool changed[W_TL_NFIELDS])
{
	return {[changed](const tag_item &it) { return it.field >= 0 && changed[it.field]; },
	    [](const tag_item &it) { return it.field >= 0; }};
}

} // namespace

std::string
compare_items(const std::vector<tag_item> &old, const std::vector<tag_item> &neo, const bool changed[W_TL_NFIELDS])
{
	verdict v;
	compare(old, neo, basic_rule(changed), &v);
	return v.text();
}

std::string
prove_raw(layout how, const file_view &old, const file_view &neo, const item_rule &rule)
{
	verdict v;
	switch (how) {
	case layout::mpeg: prove_mpeg(old, neo, rule, &v); break;
	case layout::riff: prove_riff(old, neo, rule, &v); break;
	case layout::mp4: prove_mp4(old, neo, rule, &v); break;
	}
	return v.text();
}

std::string
prove_raw(layout how, const file_view &old, const file_view &neo, const bool changed[W_TL_NFIELDS])
{
	return prove_raw(how, old, neo, basic_rule(changed));
}

} // namespace w_tl

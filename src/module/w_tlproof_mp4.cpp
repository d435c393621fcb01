#include "w_tlproofcore.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "w_tlmodule.h"

namespace w_tl {

namespace {

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

} // namespace

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

} // namespace w_tl

/*
 * The proof of an MP4 file: TagLib rewrites the moov atom and moves what
 * follows it.  Every atom beside moov must be there with the same bytes,
 * every other atom in moov too, the ilst items outside the changed fields
 * with them, and every place the file points to within itself must point
 * at the same bytes as before.
 */
#include "w_tlproofcore.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "w_tlmodule.h"
#include "w_tlmp4.h"

namespace w_tl {

namespace {

using mp4::atom;
using mp4::atom_name;
using mp4::padding;

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

// The name an item goes by: its type, and a freeform item's mean and name.
std::string
item_name(const file_view &f, const atom &a)
{
	std::string name;
	for (char c : a.type)
		name += static_cast<unsigned char>(c) == 0xa9 ? std::string("\xc2\xa9") : std::string(1, c);
	if (a.type != "----")
		return name;
	std::vector<atom> parts;
	std::string mean, label;
	if (mp4::atoms(f, a.body, a.end(), &parts)) {
		for (const atom &p : parts) {
			if (p.end() < p.body + 4)
				continue;
			const std::string text = f.read(p.body + 4, p.end() - p.body - 4);
			if (p.type == "mean")
				mean = text;
			else if (p.type == "name")
				label = text;
		}
	}
	return name + ":" + mean + ":" + label;
}

// The items of an ilst atom, each whole.
bool
ilst_items(const file_view &f, const atom &ilst, std::vector<tag_item> *out)
{
	std::vector<atom> items;
	if (!mp4::atoms(f, ilst.body, ilst.end(), &items))
		return false;
	for (const atom &a : items)
		out->push_back({"items", item_name(f, a), f.read(a.pos, a.size), ilst_field(a.type)});
	return true;
}

// What is needed of the moov atoms: the ilst items, and the atoms holding
// pointers, side by side.
struct moov_parts {
	std::vector<tag_item> old_items, new_items;
	std::vector<std::pair<atom, atom>> holders;
};

// Takes the items of a udta, meta or ilst atom that only the new file has.
bool
collect_new(const file_view &f, const atom &a, std::vector<tag_item> *items)
{
	if (a.type == "ilst")
		return ilst_items(f, a, items);
	if (a.type != "udta" && a.type != "meta")
		return true;
	std::vector<atom> cs;
	if (!mp4::children(f, a, &cs))
		return false;
	return std::all_of(cs.begin(), cs.end(), [&](const atom &c) { return collect_new(f, c, items); });
}

bool
non_padding_children(const file_view &f, const atom &a, std::vector<atom> *out)
{
	std::vector<atom> all;
	if (!mp4::children(f, a, &all))
		return false;
	out->clear();
	std::copy_if(all.begin(), all.end(), std::back_inserter(*out), [](const atom &c) { return !padding(c.type); });
	return true;
}

// Walks the moov atom: the atoms TagLib changes (udta with meta and ilst,
// the chunk offsets) are taken apart, and every other atom must be equal
// in the new file.  A udta, meta, hdlr or ilst may be new.
bool
compare_moov(const file_view &old, const atom &oa, const file_view &neo, const atom &na, moov_parts *parts,
    verdict *v)
{
	static const char *const containers[] = {"moov", "trak", "mdia", "minf", "stbl", "udta", "meta", "edts", "dinf"};
	std::vector<atom> oc, nc;
	if (!non_padding_children(old, oa, &oc) || !non_padding_children(neo, na, &nc))
		return false;
	if (oa.type == "meta" && old.read(oa.body, 4) != neo.read(na.body, 4))
		v->fail("would change the version or flags of the atom 'meta'");
	auto may_be_new = [&](const std::string &t) {
		return (oa.type == "moov" && t == "udta") || (oa.type == "udta" && t == "meta") ||
		    (oa.type == "meta" && (t == "hdlr" || t == "ilst"));
	};
	std::size_t j = 0;
	for (std::size_t i = 0; i < oc.size(); i++, j++) {
		while (j < nc.size() && nc[j].type != oc[i].type && may_be_new(nc[j].type)) {
			if (!collect_new(neo, nc[j], &parts->new_items))
				return false;
			j++;
		}
		if (j == nc.size() || nc[j].type != oc[i].type) {
			v->fail("would lose the atom '" + atom_name(oc[i].type) + "'");
			return true;
		}
		const atom &o = oc[i], &n = nc[j];
		if (o.type == "ilst" && oa.type == "meta") {
			if (!ilst_items(old, o, &parts->old_items) || !ilst_items(neo, n, &parts->new_items))
				return false;
		} else if (o.type == "stco" || o.type == "co64" || (o.type == "saio" && oa.type == "stbl")) {
			parts->holders.emplace_back(o, n);
		} else if (std::find(std::begin(containers), std::end(containers), o.type) != std::end(containers) &&
		    (o.type != "meta" || oa.type == "udta")) {
			if (!compare_moov(old, o, neo, n, parts, v))
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
		if (!collect_new(neo, nc[j], &parts->new_items))
			return false;
	}
	return true;
}

// Whether n holds the bytes of o, but for the places they point to, which
// must be where o's went.
bool
same_but_pointers(const file_view &old, const atom &o, const file_view &neo, const atom &n,
    const mp4::placement &where, bool in_stbl)
{
	std::vector<mp4::pointer> op, np;
	if (o.size != n.size || !mp4::pointers(old, o, &op, in_stbl) || !mp4::pointers(neo, n, &np, in_stbl) ||
	    op.size() != np.size())
		return false;
	std::uint64_t from = 0; // within the atom, the bytes compared so far
	for (std::size_t i = 0; i < op.size(); i++) {
		std::uint64_t placed;
		if (!where.place(op[i].place, &placed) || placed != np[i].place || op[i].width != np[i].width)
			return false;
		if (op[i].at == 0 && np[i].at == 0)
			continue;
		if (op[i].at - o.pos != np[i].at - n.pos || op[i].at - o.pos < from)
			return false;
		const std::uint64_t at = op[i].at - o.pos;
		if (!old.same(o.pos + from, neo, n.pos + from, at - from))
			return false;
		from = at + op[i].width;
	}
	return old.same(o.pos + from, neo, n.pos + from, o.size - from);
}

bool
holds_pointers(const std::string &type)
{
	return type == "moof" || type == "mfra" || type == "sidx";
}

} // namespace

void
prove_mp4(const file_view &old, const file_view &neo, const item_rule &rule, verdict *v)
{
	std::vector<atom> all;
	if (!mp4::atoms(old, 0, old.size(), &all))
		return v->fail("would rewrite atoms that cannot be walked");
	if (!mp4::atoms(neo, 0, neo.size(), &all))
		return v->fail("would leave atoms that cannot be walked");
	mp4::placement where;
	if (!where.build(old, neo))
		return v->fail(where.old_moov().size == 0 || where.new_moov().size == 0
			? "would rewrite a file without one moov atom"
			: "would change the atoms beside moov");
	moov_parts parts;
	if (!compare_moov(old, where.old_moov(), neo, where.new_moov(), &parts, v))
		return v->fail("would leave atoms that cannot be walked");
	compare(parts.old_items, parts.new_items, rule, v);
	// The media, and every other atom beside moov, with the same bytes
	// but for the places they point to.
	const std::vector<atom> &ot = where.old_top(), &nt = where.new_top();
	for (std::size_t i = 0; i < ot.size(); i++) {
		const atom &o = ot[i], &n = nt[i];
		const bool kept = holds_pointers(o.type) ? same_but_pointers(old, o, neo, n, where, false)
							 : old.same(o.pos, neo, n.pos, o.size);
		if (!kept)
			return v->fail(o.type == "mdat" ? "would change the audio"
				: holds_pointers(o.type) ? "would leave the atom '" + atom_name(o.type) + "' pointing elsewhere"
							 : "would change the atom '" + atom_name(o.type) + "'");
	}
	for (const auto &[o, n] : parts.holders) {
		if (!same_but_pointers(old, o, neo, n, where, true))
			return v->fail("would leave the atom '" + atom_name(o.type) + "' pointing elsewhere");
	}
}

} // namespace w_tl

#include "w_tlmp4.h"

#include <algorithm>
#include <iterator>

#include "w_tlproofcore.h"

namespace w_tl::mp4 {

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

bool
children(const file_view &f, const atom &a, std::vector<atom> *out)
{
	const std::uint64_t skip = a.type == "meta" ? 4 : 0;
	if (a.body + skip > a.end())
		return false;
	return atoms(f, a.body + skip, a.end(), out);
}

bool
padding(const std::string &type)
{
	return type == "free" || type == "skip" || type == "wide";
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
	return escaped(s);
}

namespace {

std::uint64_t
number(const std::string &d, std::size_t at, unsigned width)
{
	return width == 4 ? be32(d, at) : (std::uint64_t{be32(d, at)} << 32) | be32(d, at + 4);
}

// The contents of a full atom (after its version and flags), with those.
struct full_atom {
	std::string d; // from the version on
	unsigned version = 0;
	std::uint32_t flags = 0;
	std::uint64_t at = 0; // where d starts in the file
};

bool
read_full(const file_view &f, const atom &a, full_atom *out)
{
	out->at = a.body;
	out->d = f.read(a.body, a.end() - a.body);
	if (out->d.size() < 4)
		return false;
	out->version = static_cast<unsigned char>(out->d[0]);
	out->flags = be32(out->d, 0) & 0xffffff;
	return true;
}

// A table of entry_count numbers at 4 of d, each of width bytes with
// stride bytes from one to the next, the number at skip in each.
bool
table(const full_atom &a, std::size_t count_at, unsigned width, std::size_t stride, std::size_t skip,
    std::uint64_t anchor, std::vector<pointer> *out)
{
	if (a.d.size() < count_at + 4)
		return false;
	const std::uint64_t count = be32(a.d, count_at);
	const std::size_t first = count_at + 4;
	if (stride == 0 || (a.d.size() - first) / stride < count)
		return false;
	for (std::uint64_t i = 0; i < count; i++) {
		const std::size_t at = first + static_cast<std::size_t>(i) * stride + skip;
		out->push_back({a.at + at, width, number(a.d, at, width) + anchor, anchor});
	}
	return true;
}

bool
leaf_pointers(const file_view &f, const atom &a, bool in_stbl, std::vector<pointer> *out)
{
	const bool chunks = a.type == "stco" || a.type == "co64";
	if (!chunks && a.type != "saio" && a.type != "tfhd" && a.type != "tfra" && a.type != "sidx")
		return true;
	// Auxiliary information of a fragment is placed from its base offset.
	if (a.type == "saio" && !in_stbl)
		return true;
	full_atom fa;
	if (!read_full(f, a, &fa))
		return false;
	const std::string &d = fa.d;
	if (chunks)
		return table(fa, 4, a.type == "co64" ? 8 : 4, a.type == "co64" ? 8 : 4, 0, 0, out);
	if (a.type == "saio") {
		const std::size_t count_at = (fa.flags & 1) != 0 ? 12 : 4;
		const unsigned width = fa.version == 0 ? 4 : 8;
		return table(fa, count_at, width, width, 0, 0, out);
	}
	if (a.type == "tfhd") {
		// version and flags, the track, then the base offset if flagged.
		if ((fa.flags & 1) == 0)
			return true;
		if (d.size() < 16)
			return false;
		out->push_back({fa.at + 8, 8, number(d, 8, 8), 0});
		return true;
	}
	if (a.type == "tfra") {
		if (d.size() < 16)
			return false;
		const std::uint32_t sizes = be32(d, 8);
		const std::size_t numbers = ((sizes >> 4) & 3) + ((sizes >> 2) & 3) + (sizes & 3) + 3;
		const unsigned width = fa.version == 1 ? 8 : 4;
		return table(fa, 12, width, 2 * width + numbers, width, 0, out);
	}
	// sidx: the first reference starts first_offset bytes after the atom,
	// each next one where the one before ends.
	const unsigned width = fa.version == 0 ? 4 : 8;
	const std::size_t first_at = 12 + width;
	const std::size_t count_at = first_at + width + 2;
	if (d.size() < count_at + 2)
		return false;
	const std::uint64_t anchor = a.end();
	const std::uint64_t first = number(d, first_at, width);
	out->push_back({fa.at + first_at, width, anchor + first, anchor});
	const std::size_t count = (static_cast<unsigned char>(d[count_at]) << 8) | static_cast<unsigned char>(d[count_at + 1]);
	if ((d.size() - count_at - 2) / 12 < count)
		return false;
	std::uint64_t place = anchor + first;
	for (std::size_t i = 0; i + 1 < count; i++) {
		place += be32(d, count_at + 2 + i * 12) & 0x7fffffff;
		out->push_back({0, width, place, anchor});
	}
	return true;
}

bool
walk(const file_view &f, const atom &a, bool in_stbl, std::vector<pointer> *out)
{
	static const char *const holders[] = {"moov", "trak", "mdia", "minf", "stbl", "moof", "traf", "mfra"};
	if (std::find(std::begin(holders), std::end(holders), a.type) == std::end(holders))
		return leaf_pointers(f, a, in_stbl, out);
	std::vector<atom> cs;
	if (!children(f, a, &cs))
		return false;
	return std::all_of(cs.begin(), cs.end(), [&](const atom &c) { return walk(f, c, a.type == "stbl", out); });
}

} // namespace

bool
pointers(const file_view &f, const atom &a, std::vector<pointer> *out, bool in_stbl)
{
	out->clear();
	return walk(f, a, in_stbl, out);
}

bool
placement::build(const file_view &old, const file_view &neo)
{
	auto split = [](const file_view &f, std::vector<atom> *top, atom *moov) {
		std::vector<atom> all;
		if (!atoms(f, 0, f.size(), &all))
			return false;
		int moovs = 0;
		top->clear();
		for (const atom &a : all) {
			if (a.type == "moov") {
				*moov = a;
				moovs++;
			} else if (!padding(a.type)) {
				top->push_back(a);
			}
		}
		return moovs == 1;
	};
	if (!split(old, &old_, &old_moov_) || !split(neo, &new_, &new_moov_) || old_.size() != new_.size())
		return false;
	for (std::size_t i = 0; i < old_.size(); i++) {
		if (old_[i].type != new_[i].type || old_[i].size != new_[i].size)
			return false;
	}
	return true;
}

bool
placement::place(std::uint64_t old_place, std::uint64_t *new_place) const
{
	auto in = std::upper_bound(old_.begin(), old_.end(), old_place,
	    [](std::uint64_t p, const atom &a) { return p < a.pos; });
	if (in == old_.begin())
		return false;
	--in;
	if (old_place >= in->end())
		return false;
	const atom &n = new_[static_cast<std::size_t>(in - old_.begin())];
	*new_place = n.pos + (old_place - in->pos);
	return true;
}

} // namespace w_tl::mp4

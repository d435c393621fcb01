#include "w_tlproof.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <unistd.h>

#include "w_tlframes.h"
#include "w_tlproofcore.h"
#include "w_utf8.h"

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

// ---- Items, and what a write may do to them ----

std::string
escaped(const std::string &name)
{
	return w_escape(name.data(), name.size());
}

// Every old item outside the changed fields must be among the new ones,
// and a new item belongs to one of the fields, whose values are checked
// once the new file is read back.
void
compare(const std::vector<tag_item> &old, const std::vector<tag_item> &neo, const item_rule &rule, verdict *v)
{
	// Each old item is matched with the first equal new one left.
	std::multimap<std::string, std::size_t> left;
	for (std::size_t i = 0; i < neo.size(); i++)
		left.emplace(std::string(neo[i].kind) + '\0' + neo[i].bytes, i);
	// The values of one name keep their order: where the last one kept
	// of each name went.
	std::map<std::string, std::size_t> last;
	for (const tag_item &it : old) {
		auto found = left.lower_bound(std::string(it.kind) + '\0' + it.bytes);
		if (found == left.end() || found->first != std::string(it.kind) + '\0' + it.bytes) {
			if (!rule.may_lose(it))
				v->lose(it.kind, it.name);
			continue;
		}
		const std::size_t at = found->second;
		left.erase(found);
		const std::string name = std::string(it.kind) + '\0' + it.name;
		auto before = last.find(name);
		if (before != last.end() && before->second > at)
			v->fail(std::string("would reorder the ") + it.kind + " " + escaped(it.name));
		last[name] = at;
	}
	for (const auto &[key, i] : left) {
		if (!rule.may_add(neo[i]))
			v->fail(std::string("would add ") + neo[i].kind + " " + escaped(neo[i].name));
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
		out->push_back({"frames", it.id, bytes + it.data, it.field, it.secondary});
	}
	return true;
}

namespace {

// The basic fields' rule: an item of a changed field may go, and a new
// item must belong to one of the fields.
item_rule
basic_rule(const basic_change &change)
{
	return {[&change](const tag_item &it) {
			return it.field >= 0 && change.changed[it.field] && (!it.secondary || change.cleared[it.field]);
		},
	    [](const tag_item &it) { return it.field >= 0; }};
}

} // namespace

std::string
prove_listed(const file_view &old, const file_view &neo, const std::vector<tag_item> &old_items,
    const std::vector<tag_item> &new_items, const basic_change &change)
{
	// The values of the fields are checked once the new file is read
	// back; that holds for the changed fields alone.
	item_rule rule = basic_rule(change);
	rule.may_add = [&change](const tag_item &it) { return it.field >= 0 && change.changed[it.field]; };
	verdict v;
	compare(old_items, new_items, rule, &v);
	prove_asf(old, neo, change, &v);
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
prove_raw(layout how, const file_view &old, const file_view &neo, const basic_change &change)
{
	return prove_raw(how, old, neo, basic_rule(change));
}

} // namespace w_tl

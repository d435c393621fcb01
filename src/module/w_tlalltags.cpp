/*
 * The operations of the --all-tags mode: the fields read handed over as
 * pairs, and a write that touches only the fields whose values change and
 * is read back before it is planned.
 */
#include "w_tlalltags.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include <taglib/fileref.h>
#include <taglib/mpegfile.h>

#include "w_tlfixup.h"
#include "w_tlproof.h"

namespace w_tl {

namespace {

void
set_why(char *why, std::size_t whylen, const std::string &text)
{
	if (whylen > 0)
		std::snprintf(why, whylen, "%s", text.c_str());
}

// The fields of a file of a kind the mode covers.
fieldset
read_fields(TagLib::File *file)
{
	fieldset fs = id3_covers(file) ? id3_read(file) : mp4_read(file);
	table_order(fs);
	return fs;
}

// The fields a tag list asks for: names as the mode spells them, values in
// order; an empty value sets nothing, as it clears a field of the seven.
// A tag named year or track came from the user (print shows date and
// tracknumber), so set:year=1999 stands for the date: the other name's
// values take the place of the date's.
fieldset
wished_fields(const w_tlpair *pairs, std::size_t count)
{
	fieldset named, aliased;
	for (std::size_t i = 0; i < count; i++) {
		const std::string name = canonical_name(pairs[i].key);
		fieldset &fs = name != lower(pairs[i].key) ? aliased : named;
		// A name keeps the spelling the document gives it.
		const std::string spelled = &fs == &named && pairs[i].key != name ? pairs[i].key : "";
		if (find_field(named, name) == nullptr)
			named.push_back({name, {}, spelled}); // the field's place
		if (find_field(fs, name) == nullptr && &fs == &aliased)
			aliased.push_back({name, {}, ""});
		if (pairs[i].value[0] != '\0')
			add_value(fs, name, pairs[i].value);
	}
	fieldset out;
	for (field &f : named) {
		if (const field *a = find_field(aliased, f.name))
			f.values = a->values;
		if (!f.values.empty())
			out.push_back(std::move(f));
	}
	return out;
}

// The values of the field as the message of a refusal shows them.
std::string
shown(const field *f)
{
	if (f == nullptr)
		return "nothing";
	std::string s;
	for (const std::string &v : f->values)
		s += (s.empty() ? "\"" : ", \"") + v + "\"";
	return s;
}

} // namespace

int
alltags_read(TagLib::File *file, w_tlpair **pairs, std::size_t *count)
{
	*pairs = nullptr;
	*count = 0;
	if (!id3_covers(file) && !mp4_covers(file)) {
		errno = ENOTSUP;
		return -1;
	}
	const fieldset fs = read_fields(file);
	// One block: the pairs, then every text they point to.
	std::size_t n = 0, bytes = 0;
	for (const field &f : fs) {
		n += f.values.size();
		for (const std::string &v : f.values)
			bytes += f.shown().size() + 1 + v.size() + 1;
	}
	auto *block = static_cast<char *>(std::malloc(n * sizeof(w_tlpair) + bytes + 1));
	if (block == nullptr)
		throw std::bad_alloc();
	auto *out = reinterpret_cast<w_tlpair *>(block);
	char *text = block + n * sizeof(w_tlpair);
	std::size_t i = 0;
	for (const field &f : fs) {
		for (const std::string &v : f.values) {
			out[i].key = text;
			std::memcpy(text, f.shown().c_str(), f.shown().size() + 1);
			text += f.shown().size() + 1;
			out[i].value = text;
			std::memcpy(text, v.c_str(), v.size() + 1);
			text += v.size() + 1;
			i++;
		}
	}
	*pairs = out;
	*count = n;
	return 0;
}

int
alltags_render(TagLib::File *file, plan_stream &stream, const w_tlpair *pairs, std::size_t count,
    w_tlplan *plan, char *why, std::size_t whylen)
{
	set_why(why, whylen, "");
	const bool id3 = id3_covers(file);
	const fieldset old = read_fields(file);
	fieldset wished = wished_fields(pairs, count);
	std::string refusal = id3 ? id3_check(file, wished) : mp4_check(file, wished);
	if (!refusal.empty()) {
		set_why(why, whylen, refusal + "; not written");
		errno = EINVAL;
		return -1;
	}
	const std::vector<std::string> changed = changed_names(old, wished);
	if (changed.empty())
		return 0;
	std::set<std::string> touched;
	refusal = id3 ? id3_render(file, stream, wished, changed, &touched)
		      : mp4_render(file, wished, changed, &touched);
	if (!id3 && refusal.empty() && !keep_mp4_pointers(stream, &refusal))
		refusal = "rewriting the tag " + refusal;
	if (refusal.empty() && stream.error() != 0) {
		errno = stream.error();
		return -1;
	}
	if (!refusal.empty()) {
		set_why(why, whylen, refusal + "; not written");
		errno = EINVAL;
		return -1;
	}

	// What was rendered must read back as asked, every field of it.  A
	// RIFF file is read from where the stream stands.
	stream.seek(0, TagLib::IOStream::Beginning);
	TagLib::FileRef again(&stream, false);
	if (again.isNull() || again.file() == nullptr || !again.file()->isValid() ||
	    !(id3 ? id3_covers(again.file()) : mp4_covers(again.file()))) {
		set_why(why, whylen, "the rewritten file would not read back; not written");
		errno = EINVAL;
		return -1;
	}
	const fieldset now = read_fields(again.file());
	if (stream.error() != 0) {
		errno = stream.error();
		return -1;
	}
	if (!same_fields(now, wished)) {
		for (const std::string &name : changed_names(now, wished)) {
			set_why(why, whylen, name + " would read back as " + shown(find_field(now, name)) +
				" instead of " + shown(find_field(wished, name)) + "; not written");
			break;
		}
		errno = EINVAL;
		return -1;
	}
	stream.plan(plan);
	const unsigned version = id3 ? id3_version(file) : 0;

	// The proof every TagLib write passes: walked raw, the new file keeps
	// every item of the old one outside the fields written, and the audio.
	auto may = [&](const tag_item &it) {
		const std::string kind = it.kind;
		std::string group;
		if (kind == "frames") {
			const std::size_t skip = it.name.size() + 2; // id and flags
			group = id3_frame_group(it.name, it.bytes.size() >= skip ? it.bytes.substr(skip) : "", version);
		} else if (kind == "items") {
			group = mp4_item_group(it.name, it.bytes);
		} else if (kind == "ID3v1 fields") {
			group = it.name == "year" ? "date" : it.name == "track" ? "tracknumber" : it.name;
		}
		return !group.empty() && touched.count(group) > 0;
	};
	const layout how = !id3 ? layout::mp4
	    : dynamic_cast<TagLib::MPEG::File *>(file) != nullptr ? layout::mpeg
								   : layout::riff;
	const std::string lost = prove_raw(how, file_view(plan->fd, plan->old_size), file_view(*plan), {may, may});
	if (!lost.empty()) {
		set_why(why, whylen, "rewriting the tag " + lost + "; not written");
		errno = EINVAL;
		return -1;
	}
	return 1;
}

} // namespace w_tl

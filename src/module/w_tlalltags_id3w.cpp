/*
 * The --all-tags mode writes ID3v2 tags: MP3 files (the leading tag, and
 * the ID3v1 tag kept in step), WAV and AIFF files (the tag of their ID3
 * chunk).
 *
 * A write builds the new tag itself: every old frame that belongs to no
 * changed field is kept byte for byte and in its place, and only the
 * frames of the changed fields are new, each rendered by TagLib in the
 * tag's own version.  TagLib's rendering of a whole tag would convert,
 * reorder and drop frames the mode never asked to change.
 */
#include "w_tlalltags.h"
#include "w_tlalltags_id3.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <map>

#include <taglib/commentsframe.h>
#include <taglib/id3v1genres.h>
#include <taglib/id3v1tag.h>
#include <taglib/textidentificationframe.h>
#include <taglib/uniquefileidentifierframe.h>
#include <taglib/unsynchronizedlyricsframe.h>
#include <taglib/urllinkframe.h>

#include "w_tlfixup.h"
#include "w_tlframes.h"

namespace w_tl {

namespace {

using namespace id3;
using TagLib::ByteVector;
using TagLib::String;
using TagLib::StringList;

// TagLib keeps a frame's header to itself and its friends, but a frame is
// rendered in the version its header says.
struct frame_access : ID3v2::Frame {
	static void set_version(ID3v2::Frame *f, unsigned v) { (f->*(&frame_access::header))()->setVersion(v); }
};

// What the frames of one field hold already, to be kept by its new frames.
struct hints {
	std::string description; // a user-defined frame's spelling
	std::string spelled;     // the field's name as its first frame spells it
};

bool
starts(const std::string &s, const char *prefix)
{
	return s.rfind(prefix, 0) == 0;
}

// Whether the name is that of a comment or lyrics frame with a
// description (comment:eng:note), not of one without (comment:deu).
bool
described(const std::string &name)
{
	for (const char *base : {"comment:", "lyrics:"}) {
		if (starts(name, base) && name.size() > std::strlen(base) + 3)
			return true;
	}
	return false;
}

// The field a name is written in: a total goes with its number, a play
// counter with its rating.
std::string
id3_group_of_name(const std::string &name)
{
	return starts(name, "playcount:") ? "rating:" + name.substr(10) : group_of_name(name);
}

// Text in Latin-1, as URL frames and a rating's e-mail hold it; false when
// it holds a character Latin-1 has not.
bool
latin1(const std::string &utf, std::string *out)
{
	const String s = text(utf);
	if (!s.isLatin1())
		return false;
	const ByteVector b = s.data(String::Latin1);
	out->assign(b.data(), b.size());
	return out->find('\0') == std::string::npos;
}

// A frame of the given id and data, in tag version v, without flags.
std::string
raw_frame(const char *id, const std::string &data, unsigned v)
{
	std::string out = id;
	const auto n = static_cast<std::uint32_t>(data.size());
	for (int i = 3; i >= 0; i--)
		out.push_back(static_cast<char>(v >= 4 ? (n >> (7 * i)) & 0x7f : (n >> (8 * i)) & 0xff));
	out.append(2, '\0');
	return out + data;
}

// The name before the colon of comment:deu, the name itself otherwise.
std::string
base_of(const std::string &group)
{
	for (const char *base : {"comment", "lyrics"}) {
		const std::size_t n = std::strlen(base);
		if (group.compare(0, n, base) == 0 && (group.size() == n || group[n] == ':'))
			return base;
	}
	return group;
}

bool
has_upper(const std::string &s)
{
	return std::any_of(s.begin(), s.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// Whether a version 2.3 date can be held in TYER, TDAT and TIME: YYYY,
// YYYY-MM-DD or YYYY-MM-DDTHH:MM, as TagLib reads them back.
bool
v23_date(const std::string &v)
{
	auto digits = [&](std::size_t at, std::size_t n) { return all_digits(v.substr(at, n)) && v.size() >= at + n; };
	if (v.size() == 4)
		return digits(0, 4);
	if (v.size() != 10 && v.size() != 16)
		return false;
	if (!(digits(0, 4) && v[4] == '-' && digits(5, 2) && v[7] == '-' && digits(8, 2)))
		return false;
	return v.size() == 10 || (v[10] == 'T' && digits(11, 2) && v[13] == ':' && digits(14, 2));
}

// The frames of the field group holding the wished values, in tag version v.
std::string
render_group(const std::string &group, const fieldset &wished, unsigned v, const hints &hint)
{
	auto values = [&](const std::string &name) {
		const field *f = find_field(wished, name);
		return f != nullptr ? f->values : std::vector<std::string>{};
	};
	auto list = [](const std::vector<std::string> &vs) {
		StringList l;
		for (const std::string &s : vs)
			l.append(text(s));
		return l;
	};
	auto joined = [](const std::vector<std::string> &vs) {
		std::string s;
		for (std::size_t i = 0; i < vs.size(); i++)
			s += (i > 0 ? std::string(1, '\0') : "") + vs[i];
		return s;
	};
	const field *own = find_field(wished, group);
	const std::string lang = language_of(own != nullptr ? own->shown() : group);
	const ByteVector language(lang.data(), static_cast<unsigned int>(lang.size()));
	const std::string base = base_of(group);

	std::vector<std::unique_ptr<ID3v2::Frame>> frames;
	auto text_frame = [&](const char *id, const StringList &l) {
		auto f = std::make_unique<ID3v2::TextIdentificationFrame>(ByteVector(id), String::Latin1);
		f->setText(l);
		frames.push_back(std::move(f));
	};
	const std::vector<std::string> vs = values(group);
	// The spelling of a field of the frames without a table entry: that of
	// the document when it has capitals, else the frames' own.
	const std::string sp = own != nullptr && has_upper(own->shown()) ? own->shown()
	    : !hint.spelled.empty()					 ? hint.spelled
	    : own != nullptr						 ? own->shown()
									 : group;
	std::string lang_d, desc_d;
	if (vs.empty() && group != "tracknumber" && group != "discnumber") {
		return "";
	} else if (described(group) && split_described(sp, &lang_d, &desc_d)) {
		const ByteVector l(lang_d.data(), 3);
		if (base == "comment") {
			auto f = std::make_unique<ID3v2::CommentsFrame>(String::Latin1);
			f->setLanguage(l);
			f->setDescription(text(desc_d));
			f->setText(text(joined(vs)));
			frames.push_back(std::move(f));
		} else {
			auto f = std::make_unique<ID3v2::UnsynchronizedLyricsFrame>(String::Latin1);
			f->setLanguage(l);
			f->setDescription(text(desc_d));
			f->setText(text(vs[0]));
			frames.push_back(std::move(f));
		}
	} else if (group == "txxx") {
		frames.push_back(std::make_unique<ID3v2::UserTextIdentificationFrame>(String(), list(vs), String::Latin1));
	} else if (starts(group, "url:wxxx")) {
		auto f = std::make_unique<ID3v2::UserUrlLinkFrame>(String::Latin1);
		f->setDescription(text(sp.size() > 9 ? sp.substr(9) : ""));
		f->setUrl(text(vs[0]));
		frames.push_back(std::move(f));
	} else if (starts(group, "url:")) {
		std::string id = group.substr(4);
		for (char &c : id)
			c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
		// A URL frame is its Latin-1 text and nothing else (checked).
		std::string out, bytes;
		for (const std::string &u : vs) {
			latin1(u, &bytes);
			out += raw_frame(id.c_str(), bytes, v);
		}
		return out;
	} else if (starts(group, "rating:")) {
		// Rendered here: TagLib writes a play counter into every POPM
		// frame, even one that had none.  Checked: Latin-1, numbers.
		std::string data;
		latin1(sp.substr(7), &data);
		data.push_back('\0');
		data.push_back(static_cast<char>(std::stoul(vs[0])));
		const std::vector<std::string> count = values("playcount:" + group.substr(7));
		if (!count.empty()) {
			const auto n = static_cast<std::uint32_t>(std::stoul(count[0]));
			for (int shift = 24; shift >= 0; shift -= 8)
				data.push_back(static_cast<char>((n >> shift) & 0xff));
		}
		return raw_frame("POPM", data, v);
	} else if (group == "tracknumber" || group == "discnumber") {
		const std::vector<std::string> total = values(group == "tracknumber" ? "tracktotal" : "disctotal");
		if (vs.empty() && total.empty())
			return "";
		std::string t = vs.empty() ? "" : vs[0];
		if (!total.empty())
			t += "/" + total[0];
		text_frame(group == "tracknumber" ? "TRCK" : "TPOS", StringList(text(t)));
	} else if (group == "date:tdrc" || group == "originaldate:tdor") {
		text_frame(group[0] == 'd' ? "TDRC" : "TDOR", list(vs));
	} else if (group == "date" && v == 3) {
		// Checked: it is one of the forms TYER, TDAT and TIME hold.
		text_frame("TYER", StringList(text(vs[0].substr(0, 4))));
		if (vs[0].size() >= 10)
			text_frame("TDAT", StringList(text(vs[0].substr(8, 2) + vs[0].substr(5, 2))));
		if (vs[0].size() == 16)
			text_frame("TIME", StringList(text(vs[0].substr(11, 2) + vs[0].substr(14, 2))));
	} else if (group == "originaldate" && v == 3) {
		text_frame("TORY", StringList(text(vs[0])));
	} else if (base == "comment") {
		auto f = std::make_unique<ID3v2::CommentsFrame>(String::Latin1);
		f->setLanguage(language);
		f->setText(text(joined(vs)));
		frames.push_back(std::move(f));
	} else if (base == "lyrics") {
		auto f = std::make_unique<ID3v2::UnsynchronizedLyricsFrame>(String::Latin1);
		f->setLanguage(language);
		f->setText(text(vs[0]));
		frames.push_back(std::move(f));
	} else if (group == "musicbrainz_trackid") {
		frames.push_back(std::make_unique<ID3v2::UniqueFileIdentifierFrame>(
		    musicbrainz_owner, ByteVector(vs[0].data(), static_cast<unsigned int>(vs[0].size()))));
	} else {
		const field_entry *entry = find_entry(group);
		if (entry != nullptr && std::strlen(entry->id3) == 4) {
			text_frame(entry->id3, list(vs));
		} else {
			// A name the document spells keeps its spelling; in lower
			// case it may be the one the field had.
			std::string desc = entry == nullptr && own != nullptr && has_upper(own->shown()) ? own->shown()
			    : !hint.description.empty()							? hint.description
			    : entry != nullptr ? std::string(entry->id3 + 5)
			    : own != nullptr   ? own->shown()
					       : group;
			frames.push_back(std::make_unique<ID3v2::UserTextIdentificationFrame>(
			    text(desc), list(vs), String::Latin1));
		}
	}
	std::string out;
	for (const auto &f : frames) {
		frame_access::set_version(f.get(), v);
		ByteVector b = f->render();
		out.append(b.data(), b.size());
	}
	return out;
}

// Why the old tag cannot be rebuilt frame by frame, "" when it can; for a
// tag of version 2.2, the frame it cannot convert, if one.
std::string
unkeepable(const std::string &old_tag, const std::string &refused = "")
{
	const auto *b = reinterpret_cast<const unsigned char *>(old_tag.data());
	if (b[3] == 2)
		return id3v22_refusal(refused);
	if (b[3] != 3 && b[3] != 4)
		return "its ID3v2." + std::to_string(b[3]) + " tag cannot be rewritten without losing frames";
	if (b[5] & 0x80)
		return "its unsynchronised ID3v2 tag cannot be rewritten without losing frames";
	if (b[5] & 0x50)
		return "its ID3v2 tag with an extended header or a footer cannot be rewritten without losing frames";
	return "its ID3v2 tag holds frames that cannot be kept (compressed, encrypted or unreadable)";
}

// Brings the ID3v1 tag of an MP3 file in step with the changed fields it
// holds: the first value of each.
void
mirror_id3v1(TagLib::MPEG::File *mp3, plan_stream &stream, const fieldset &wished,
    const std::set<std::string> &groups)
{
	if (!mp3->hasID3v1Tag())
		return;
	TagLib::ID3v1::Tag *t = mp3->ID3v1Tag();
	auto first = [&](const char *name) {
		const field *f = find_field(wished, name);
		return f != nullptr ? f->values[0] : std::string();
	};
	auto number = [](const std::string &s) {
		std::size_t n = 0;
		while (n < s.size() && n < 4 && s[n] >= '0' && s[n] <= '9')
			n++;
		return n > 0 ? static_cast<unsigned>(std::stoul(s.substr(0, n))) : 0u;
	};
	bool changed[W_TL_NFIELDS] = {};
	const std::pair<const char *, int> basic[] = {{"title", W_TL_TITLE}, {"artist", W_TL_ARTIST},
	    {"album", W_TL_ALBUM}, {"date", W_TL_YEAR}, {"tracknumber", W_TL_TRACK}, {"genre", W_TL_GENRE},
	    {"comment", W_TL_COMMENT}};
	bool any = false;
	for (const auto &[name, field] : basic) {
		if (groups.count(name) == 0)
			continue;
		any = changed[field] = true;
		const std::string v = first(name);
		switch (field) {
		case W_TL_TITLE: t->setTitle(text(v)); break;
		case W_TL_ARTIST: t->setArtist(text(v)); break;
		case W_TL_ALBUM: t->setAlbum(text(v)); break;
		case W_TL_YEAR: t->setYear(number(v)); break;
		case W_TL_TRACK: t->setTrack(number(v) <= 255 ? number(v) : 0); break;
		case W_TL_GENRE:
			// Version 2.3 taggers join several genres with a slash.
			t->setGenre(text(TagLib::ID3v1::genreIndex(text(v)) == 255 && v.find('/') != std::string::npos
				? v.substr(0, v.find('/'))
				: v));
			break;
		default: t->setComment(text(v)); break;
		}
	}
	// The fields it does not change keep their bytes.
	const std::string old = trailing_id3v1(stream);
	if (!any || old.empty())
		return;
	const ByteVector neo = t->render();
	const std::string out = keep_id3v1_fields(old, std::string(neo.data(), neo.size()), changed);
	stream.insert(ByteVector(out.data(), 128), static_cast<unsigned long>(stream.length() - 128), 128);
}


// Why the frames of their kind cannot hold a field of the names that are
// no entry of the table (a described comment, a URL, a rating...), "" when
// they can.
std::string
check_frame_field(const field &f, const fieldset &wished)
{
	const std::string &n = f.name;
	const std::string &val = f.values[0];
	std::string lang, desc, bytes;
	if (described(n) && !split_described(f.shown(), &lang, &desc))
		return "cannot hold a tag named " + f.shown() + " (a described one is " + n.substr(0, n.find(':')) +
		    ":LANGUAGE:DESCRIPTION)";
	if (starts(n, "lyrics:") && described(n) && f.values.size() > 1)
		return "cannot hold more than one " + f.shown();
	if (starts(n, "url:")) {
		const std::string id = n.substr(4, 4);
		const bool user = starts(n, "url:wxxx");
		if (!user && (n.size() != 8 || id[0] != 'w' ||
				 !std::all_of(id.begin(), id.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); })))
			return "cannot hold a tag named " + f.shown() + " (no URL frame has that name)";
		if (user && n.size() != 8 && (n[8] != ':' || n.size() == 9))
			return "cannot hold a tag named " + f.shown() + " (no URL frame has that name)";
		// Several frames of one id are for the commercial and the
		// artist's pages only; one WXXX frame for each description.
		if (f.values.size() > 1 && id != "wcom" && id != "woar")
			return "cannot hold more than one " + f.shown();
		for (const std::string &u : f.values) {
			if (!latin1(u, &bytes))
				return "cannot hold " + f.shown() + "=" + u + " (a URL frame holds Latin-1 text only)";
		}
	}
	if (starts(n, "rating:") || starts(n, "playcount:")) {
		const bool rating = starts(n, "rating:");
		const std::string email = f.shown().substr(rating ? 7 : 10);
		if (!latin1(email, &bytes))
			return "cannot hold " + f.shown() + " (a rating's e-mail is Latin-1 text only)";
		if (f.values.size() > 1)
			return "cannot hold more than one " + f.shown();
		if (!all_digits(val) || val.size() > 10 || std::stoull(val) > (rating ? 255ull : 4294967295ull))
			return "cannot hold " + f.shown() + "=" + val +
			    (rating ? " (only a number from 0 to 255)" : " (only a number up to 4294967295)");
		if (!rating && find_field(wished, "rating:" + n.substr(10)) == nullptr)
			return "cannot hold " + f.shown() + " without rating:" + email;
	}
	return "";
}

} // namespace

std::string
id3_check(TagLib::File *file, fieldset &wished)
{
	const unsigned v = tag_version(host(file));
	if (v == 3) {
		// A date TYER, TDAT and TIME cannot hold (or an original date
		// TORY cannot) goes into the frame of version 2.4, which readers
		// of version 2.3 read too.
		for (field &f : wished) {
			if ((f.name == "date" && !v23_date(f.values[0])) ||
			    (f.name == "originaldate" && !(f.values[0].size() == 4 && all_digits(f.values[0])))) {
				if (find_field(wished, f.name + (f.name == "date" ? ":tdrc" : ":tdor")) != nullptr)
					return "cannot hold " + f.name + "=" + f.values[0] + " beside the frame of version 2.4";
				f.name += f.name == "date" ? ":tdrc" : ":tdor";
			}
		}
	} else {
		fold_date_frames(wished);
	}
	for (const field &f : wished) {
		const std::string &n = f.name;
		if (n.empty())
			return "cannot hold a tag without a name";
		const bool single = n == "tracknumber" || n == "tracktotal" || n == "discnumber" ||
		    n == "disctotal" || base_of(n) == "lyrics" || n == "musicbrainz_trackid" ||
		    (v == 3 && (n == "date" || n == "originaldate" || n == "date:tdrc" || n == "originaldate:tdor"));
		if (single && f.values.size() > 1)
			return "cannot hold more than one " + n;
		const std::string &val = f.values[0];
		if (const std::string why = check_frame_field(f, wished); !why.empty())
			return why;
		if ((n == "tracknumber" || n == "tracktotal" || n == "discnumber" || n == "disctotal") &&
		    val.find('/') != std::string::npos)
			return "cannot hold " + n + "=" + val + " (a total has a name of its own)";
	}
	return "";
}


std::string
id3_render(TagLib::File *file, plan_stream &stream, const fieldset &wished,
    const std::vector<std::string> &changed, std::set<std::string> *touched)
{
	const host h(file);

	// Where the tag is: at the start of an MP3 file, in a chunk of a WAV
	// or AIFF file.
	tag_place place;
	if (std::string why = find_tag_place(file, h.tag(), &place); !why.empty())
		return why;
	std::string &old_tag = place.old_tag;
	// Version 2.2 is written as 2.3, frame for frame.
	if (old_tag.size() >= 10 && old_tag[3] == 2) {
		std::string converted, refused;
		if (!id3v22_to_23(old_tag, &converted, &refused))
			return unkeepable(old_tag, refused);
		old_tag = converted;
	}

	// The old frames, each to be kept as it is: the tag must be one whose
	// frames can be copied into a new tag of the same header.
	id3_tag parsed;
	if (!old_tag.empty()) {
		const auto *b = reinterpret_cast<const unsigned char *>(old_tag.data());
		if ((b[3] != 3 && b[3] != 4) || (b[5] & 0xd0) != 0 || !id3v2_parse(old_tag, &parsed))
			return unkeepable(old_tag);
		const unsigned opaque = b[3] == 3 ? 0x00e0 : 0x004c; // compressed, encrypted, grouped
		for (const id3_item &it : parsed.items) {
			if ((it.flags & opaque) != 0 || it.itunes)
				return unkeepable(old_tag);
		}
	}
	const std::vector<id3_item> &frames = parsed.items;
	const unsigned v = old_tag.empty() ? 4 : static_cast<unsigned char>(old_tag[3]);

	// The fields written: those that change, or every one when the values
	// came from another tag (ID3v1, INFO) and the ID3v2 tag is new.
	std::set<std::string> groups;
	std::vector<std::string> order; // of the fields without an old frame
	if (old_tag.empty()) {
		for (const field &f : wished) {
			if (groups.insert(id3_group_of_name(f.name)).second)
				order.push_back(id3_group_of_name(f.name));
		}
		for (const std::string &n : changed)
			groups.insert(id3_group_of_name(n));
	} else {
		for (const field &f : wished) {
			const std::string g = id3_group_of_name(f.name);
			if (std::find(changed.begin(), changed.end(), f.name) != changed.end() && groups.insert(g).second)
				order.push_back(g);
		}
		for (const std::string &n : changed)
			groups.insert(id3_group_of_name(n));
	}

	*touched = groups;

	// Each old frame's field, and what the frames of a field hold already.
	std::vector<std::string> frame_group(frames.size());
	std::map<std::string, hints> hint;
	if (!old_tag.empty()) {
		for (std::size_t i = 0; i < frames.size(); i++) {
			const std::string &id = frames[i].id;
			const std::unique_ptr<ID3v2::Frame> frame = parse_plain(id, frames[i].data);
			const std::string g = id.size() == 4 ? group_of(id, frame.get(), v) : "";
			frame_group[i] = g;
			if (g.empty() || hint.count(g) > 0)
				continue;
			hints &hg = hint[g];
			if (auto *t = dynamic_cast<const ID3v2::UserTextIdentificationFrame *>(frame.get()))
				hg.description = utf8(t->description());
			hg.spelled = spelling_of(g, frame.get());
		}
	}

	std::string body;
	std::set<std::string> placed;
	for (std::size_t i = 0; i < frames.size(); i++) {
		const std::string &g = frame_group[i];
		if (g.empty() || groups.count(g) == 0) {
			body += frames[i].raw;
		} else if (placed.insert(g).second) {
			body += render_group(g, wished, v, hint[g]);
		}
	}
	for (const std::string &g : order) {
		if (placed.insert(g).second)
			body += render_group(g, wished, v, hint[g]);
	}

	if (std::string why = put_tag(file, stream, place, body); !why.empty())
		return why;
	if (h.mp3 != nullptr)
		mirror_id3v1(h.mp3, stream, wished, groups);
	return "";
}


} // namespace w_tl

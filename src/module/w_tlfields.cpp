/*
 * The field table of the --all-tags mode: each name FLAC and Ogg files use
 * and the ID3v2 frame, MP4 item and RIFF INFO chunk that hold it, as the
 * common taggers place them.  The order of the table is the order in which
 * fields are read.  The manual page shows this table; keep them alike.
 */
#include "w_tlalltags.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <unordered_map>

namespace w_tl {

#define FF "----:com.apple.iTunes:"

const field_entry field_table[] = {
	{"title", "TIT2", "\251nam", "INAM"},
	{"artist", "TPE1", "\251ART", "IART"},
	{"album", "TALB", "\251alb", "IPRD"},
	{"albumartist", "TPE2", "aART", nullptr},
	{"date", "TDRC", "\251day", "ICRD"},
	{"tracknumber", "TRCK", "trkn", "IPRT"},
	{"tracktotal", "TRCK", "trkn", nullptr},
	{"discnumber", "TPOS", "disk", nullptr},
	{"disctotal", "TPOS", "disk", nullptr},
	{"composer", "TCOM", "\251wrt", nullptr},
	{"genre", "TCON", "\251gen", "IGNR"},
	{"comment", "COMM", "\251cmt", "ICMT"},
	{"lyrics", "USLT", "\251lyr", nullptr},
	{"bpm", "TBPM", "tmpo", nullptr},
	{"compilation", "TCMP", "cpil", nullptr},
	{"grouping", "TIT1", "\251grp", nullptr},
	{"subtitle", "TIT3", FF "SUBTITLE", nullptr},
	{"discsubtitle", "TSST", FF "DISCSUBTITLE", nullptr},
	{"originaldate", "TDOR", FF "ORIGINALDATE", nullptr},
	{"lyricist", "TEXT", FF "LYRICIST", nullptr},
	{"conductor", "TPE3", FF "CONDUCTOR", nullptr},
	{"remixer", "TPE4", FF "REMIXER", nullptr},
	{"label", "TPUB", FF "LABEL", nullptr},
	{"isrc", "TSRC", FF "ISRC", nullptr},
	{"media", "TMED", FF "MEDIA", nullptr},
	{"mood", "TMOO", FF "MOOD", nullptr},
	{"language", "TLAN", FF "LANGUAGE", "ILNG"},
	{"copyright", "TCOP", "cprt", "ICOP"},
	{"encodedby", "TENC", "\251too", "ISFT"},
	{"encodersettings", "TSSE", FF "ENCODERSETTINGS", nullptr},
	{"titlesort", "TSOT", "sonm", nullptr},
	{"artistsort", "TSOP", "soar", nullptr},
	{"albumsort", "TSOA", "soal", nullptr},
	{"albumartistsort", "TSO2", "soaa", nullptr},
	{"composersort", "TSOC", "soco", nullptr},
	{"musicbrainz_trackid", "UFID:http://musicbrainz.org", FF "MusicBrainz Track Id", nullptr},
	{"musicbrainz_releasetrackid", "TXXX:MusicBrainz Release Track Id",
	    FF "MusicBrainz Release Track Id", nullptr},
	{"musicbrainz_albumid", "TXXX:MusicBrainz Album Id", FF "MusicBrainz Album Id", nullptr},
	{"musicbrainz_artistid", "TXXX:MusicBrainz Artist Id", FF "MusicBrainz Artist Id", nullptr},
	{"musicbrainz_albumartistid", "TXXX:MusicBrainz Album Artist Id",
	    FF "MusicBrainz Album Artist Id", nullptr},
	{"musicbrainz_releasegroupid", "TXXX:MusicBrainz Release Group Id",
	    FF "MusicBrainz Release Group Id", nullptr},
	{"musicbrainz_workid", "TXXX:MusicBrainz Work Id", FF "MusicBrainz Work Id", nullptr},
	{"musicbrainz_discid", "TXXX:MusicBrainz Disc Id", FF "MusicBrainz Disc Id", nullptr},
	{"releasestatus", "TXXX:MusicBrainz Album Status", FF "MusicBrainz Album Status", nullptr},
	{"releasetype", "TXXX:MusicBrainz Album Type", FF "MusicBrainz Album Type", nullptr},
	{"releasecountry", "TXXX:MusicBrainz Album Release Country",
	    FF "MusicBrainz Album Release Country", nullptr},
	{"replaygain_track_gain", "TXXX:REPLAYGAIN_TRACK_GAIN", FF "REPLAYGAIN_TRACK_GAIN", nullptr},
	{"replaygain_track_peak", "TXXX:REPLAYGAIN_TRACK_PEAK", FF "REPLAYGAIN_TRACK_PEAK", nullptr},
	{"replaygain_album_gain", "TXXX:REPLAYGAIN_ALBUM_GAIN", FF "REPLAYGAIN_ALBUM_GAIN", nullptr},
	{"replaygain_album_peak", "TXXX:REPLAYGAIN_ALBUM_PEAK", FF "REPLAYGAIN_ALBUM_PEAK", nullptr},
	// The spellings MusicBrainz Picard's tag mapping gives these names.
	{"artists", "TXXX:ARTISTS", FF "ARTISTS", nullptr},
	{"barcode", "TXXX:BARCODE", FF "BARCODE", nullptr},
	{"catalognumber", "TXXX:CATALOGNUMBER", FF "CATALOGNUMBER", nullptr},
	{"asin", "TXXX:ASIN", FF "ASIN", nullptr},
	{"script", "TXXX:SCRIPT", FF "SCRIPT", nullptr},
	{"license", "TXXX:LICENSE", FF "LICENSE", nullptr},
	{"writer", "TXXX:Writer", FF "Writer", nullptr},
	{"originalalbum", "TOAL", FF "ORIGINALALBUM", nullptr},
	{"originalartist", "TOPE", FF "ORIGINALARTIST", nullptr},
	{"key", "TKEY", FF "initialkey", nullptr},
	{"acoustid_id", "TXXX:Acoustid Id", FF "Acoustid Id", nullptr},
	{"acoustid_fingerprint", "TXXX:Acoustid Fingerprint", FF "Acoustid Fingerprint", nullptr},
	{"musicip_puid", "TXXX:MusicIP PUID", FF "MusicIP PUID", nullptr},
	{"musicbrainz_originalalbumid", "TXXX:MusicBrainz Original Album Id",
	    FF "MusicBrainz Original Album Id", nullptr},
	{"musicbrainz_originalartistid", "TXXX:MusicBrainz Original Artist Id",
	    FF "MusicBrainz Original Artist Id", nullptr},
	{"musicbrainz_trmid", "TXXX:MusicBrainz TRM Id", FF "MusicBrainz TRM Id", nullptr},
};

#undef FF

const std::size_t field_table_size = sizeof(field_table) / sizeof(field_table[0]);

std::string
lower(const std::string &s)
{
	std::string out = s;
	for (char &c : out) {
		if (static_cast<unsigned char>(c) < 0x80)
			c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
	}
	return out;
}

const field_entry *
find_entry(const std::string &name)
{
	// Every frame and item of every file read is looked up here.
	static const std::unordered_map<std::string, const field_entry *> by_name = [] {
		std::unordered_map<std::string, const field_entry *> m;
		for (std::size_t i = 0; i < field_table_size; i++)
			m.emplace(field_table[i].name, &field_table[i]);
		return m;
	}();
	auto it = by_name.find(name);
	return it != by_name.end() ? it->second : nullptr;
}

std::string
canonical_name(const std::string &key)
{
	std::string name = lower(key);
	if (name == "year")
		return "date";
	if (name == "track")
		return "tracknumber";
	// The names some FLAC taggers give the totals.
	if (name == "totaltracks")
		return "tracktotal";
	if (name == "totaldiscs")
		return "disctotal";
	return name;
}

namespace {

// The text after the prefix of a user-defined item, null when the item is
// not of that kind.
const char *
user_item(const char *item)
{
	static const char *const prefixes[] = {"TXXX:", "----:com.apple.iTunes:"};
	for (const char *p : prefixes) {
		const std::size_t n = std::strlen(p);
		if (std::strncmp(item, p, n) == 0)
			return item + n;
	}
	return nullptr;
}

} // namespace

bool
reserved_name(const std::string &name, const char *const field_entry::*item_of)
{
	if (item_of == &field_entry::mp4)
		return name.rfind("----:", 0) == 0;
	if (item_of != &field_entry::id3)
		return false;
	if (name == "txxx")
		return true;
	for (const char *prefix : {"comment:", "lyrics:", "url:", "rating:", "playcount:"}) {
		if (name.rfind(prefix, 0) == 0)
			return true;
	}
	return false;
}

std::string
described_name(const std::string &text, const char *const field_entry::*item_of)
{
	const std::string l = lower(text);
	if (l.empty())
		return "";
	// The user-defined items of the table, lower-cased, for each kind of tag.
	using spellings = std::unordered_map<std::string, const char *>;
	auto spellings_of = [](const char *const field_entry::*of) {
		spellings m;
		for (std::size_t i = 0; i < field_table_size; i++) {
			if (const char *spelled = user_item(field_table[i].*of))
				m.emplace(lower(spelled), field_table[i].name);
		}
		return m;
	};
	static const spellings id3 = spellings_of(&field_entry::id3);
	static const spellings mp4 = spellings_of(&field_entry::mp4);
	static const spellings none;
	const spellings &known = item_of == &field_entry::id3 ? id3 : item_of == &field_entry::mp4 ? mp4 : none;
	if (auto it = known.find(l); it != known.end())
		return it->second;
	const std::string name = canonical_name(l);
	const field_entry *entry = find_entry(name);
	// A name that the tag's frames or items of other kinds take is theirs:
	// the user-defined item is kept, unseen, so that no field stands for
	// two things.
	if (entry == nullptr)
		return reserved_name(l, item_of) ? "" : l;
	// Named after a field of the table: the same field when the tag keeps
	// it in a user-defined item too, else an item of its own, left alone.
	return user_item(entry->*item_of) != nullptr ? name : "";
}

std::string
group_of_name(const std::string &name)
{
	if (name == "tracktotal")
		return "tracknumber";
	if (name == "disctotal")
		return "discnumber";
	return name;
}

void
add_value(fieldset &fs, const std::string &name, const std::string &value, const std::string &spelled)
{
	for (field &f : fs) {
		if (f.name == name) {
			f.values.push_back(value);
			return;
		}
	}
	fs.push_back({name, {value}, spelled == name ? std::string() : spelled});
}

std::string
language_name(const std::string &base, const std::string &language, std::string *spelled)
{
	spelled->clear();
	if (language.size() != 3)
		return "";
	for (char c : language) {
		if (c <= ' ' || c > '~' || c == ':')
			return "";
	}
	if (language == "eng")
		return base;
	*spelled = base + ":" + language;
	return lower(*spelled);
}

std::string
described_language_name(const std::string &base, const std::string &language, const std::string &description,
    std::string *spelled)
{
	std::string plain;
	if (language_name(base, language, &plain).empty())
		return "";
	*spelled = base + ":" + language + ":" + description;
	return lower(*spelled);
}

bool
split_described(const std::string &spelled, std::string *language, std::string *description)
{
	const std::size_t colon = spelled.find(':');
	if (colon == std::string::npos || spelled.size() < colon + 6 || spelled[colon + 4] != ':')
		return false;
	*language = spelled.substr(colon + 1, 3);
	*description = spelled.substr(colon + 5);
	std::string plain;
	return !description->empty() && !language_name("x", *language, &plain).empty();
}

void
fold_date_frames(fieldset &wished)
{
	for (const char *name : {"date:tdrc", "originaldate:tdor"}) {
		const std::string plain = std::string(name).substr(0, std::strlen(name) - 5);
		for (std::size_t i = 0; i < wished.size(); i++) {
			if (wished[i].name != name)
				continue;
			field moved = std::move(wished[i]);
			wished.erase(wished.begin() + static_cast<std::ptrdiff_t>(i));
			for (const std::string &v : moved.values)
				add_value(wished, plain, v);
			break;
		}
	}
}

std::string
language_of(const std::string &spelled)
{
	const std::size_t colon = spelled.find(':');
	return colon != std::string::npos ? spelled.substr(colon + 1) : "eng";
}

const field *
find_field(const fieldset &fs, const std::string &name)
{
	for (const field &f : fs) {
		if (f.name == name)
			return &f;
	}
	return nullptr;
}

void
table_order(fieldset &fs)
{
	std::vector<std::pair<std::size_t, field>> ranked;
	ranked.reserve(fs.size());
	for (field &f : fs) {
		// A comment in another language comes after the English one.
		bool language = false;
		for (const char *base : {"comment:", "lyrics:", "date:", "originaldate:"})
			language = language || f.name.rfind(base, 0) == 0;
		const field_entry *entry = find_entry(language ? f.name.substr(0, f.name.find(':')) : f.name);
		const std::size_t at = entry != nullptr ? static_cast<std::size_t>(entry - field_table) : field_table_size;
		ranked.emplace_back(2 * at + (language ? 1 : 0), std::move(f));
	}
	std::stable_sort(ranked.begin(), ranked.end(),
	    [](const auto &a, const auto &b) { return a.first < b.first; });
	for (std::size_t i = 0; i < fs.size(); i++)
		fs[i] = std::move(ranked[i].second);
}

namespace {

std::map<std::string, std::vector<std::string>>
as_map(const fieldset &fs)
{
	std::map<std::string, std::vector<std::string>> m;
	for (const field &f : fs)
		m[f.name] = f.values;
	return m;
}

} // namespace

bool
same_fields(const fieldset &a, const fieldset &b)
{
	return as_map(a) == as_map(b);
}

std::vector<std::string>
changed_names(const fieldset &old, const fieldset &wished)
{
	std::vector<std::string> names;
	const auto o = as_map(old);
	const auto w = as_map(wished);
	for (const auto &[name, values] : o) {
		auto it = w.find(name);
		if (it == w.end() || it->second != values)
			names.push_back(name);
	}
	for (const auto &[name, values] : w) {
		if (o.find(name) == o.end())
			names.push_back(name);
	}
	return names;
}

bool
all_digits(const std::string &s)
{
	return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

} // namespace w_tl

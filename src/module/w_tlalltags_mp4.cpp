/*
 * The --all-tags mode on MP4 files: the items of the ilst atom, through
 * TagLib's item map.  Text items hold several values as several data
 * atoms; trkn and disk hold a number and a total, tmpo a number, cpil a
 * flag; any other name is a freeform item of iTunes' kind.
 */
#include "w_tlalltags.h"

#include <algorithm>
#include <map>
#include <set>

#include <taglib/mp4file.h>
#include <taglib/mp4item.h>
#include <taglib/mp4tag.h>

namespace w_tl {

namespace {

using TagLib::String;
using TagLib::StringList;

const char freeform[] = "----:com.apple.iTunes:";

bool
is_freeform(const std::string &key)
{
	return key.compare(0, sizeof(freeform) - 1, freeform) == 0;
}

// A freeform item of any mean (----:mean:name).
bool
any_freeform(const std::string &key)
{
	return key.compare(0, 5, "----:") == 0;
}

bool
has_upper(const std::string &s)
{
	return std::any_of(s.begin(), s.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

// An item key as the bytes of the atom's name; the name of a freeform item
// is UTF-8 text.
std::string
key_bytes(const String &key)
{
	const std::string atom = key.to8Bit(false);
	return atom.compare(0, 4, "----") == 0 ? key.to8Bit(true) : atom;
}

// The key of TagLib's item map for key_bytes.
String
key_string(const std::string &key)
{
	return String(key, key.compare(0, 4, "----") == 0 ? String::UTF8 : String::Latin1);
}

TagLib::MP4::Tag *
tag_of(TagLib::File *file)
{
	auto *mp4 = dynamic_cast<TagLib::MP4::File *>(file);
	return mp4 != nullptr ? mp4->tag() : nullptr;
}

// The field of the table whose MP4 item is key, "" for none.
std::string
table_group(const std::string &key)
{
	for (std::size_t i = 0; i < field_table_size; i++) {
		if (key == field_table[i].mp4)
			return field_table[i].name;
	}
	return "";
}

// The field (the first name of the table it holds) an item belongs to, ""
// for an item outside the table.
std::string
group_of(const std::string &key, const TagLib::MP4::Item &item)
{
	if (key.compare(0, sizeof(freeform) - 1, freeform) == 0) {
		// Only text: other freeform items hold data of their own.
		if (item.toStringList().isEmpty())
			return "";
		return described_name(key.substr(sizeof(freeform) - 1), &field_entry::mp4);
	}
	// One of another mean goes by its whole key.
	if (any_freeform(key))
		return item.toStringList().isEmpty() ? "" : lower(key);
	return table_group(key);
}

bool
is_number(const std::string &name)
{
	return name == "tracknumber" || name == "tracktotal" || name == "discnumber" || name == "disctotal" ||
	    name == "bpm";
}

int
number_of(const fieldset &fs, const char *name)
{
	const field *f = find_field(fs, name);
	return f != nullptr ? std::stoi(f->values[0]) : 0;
}

} // namespace

bool
mp4_covers(TagLib::File *file)
{
	return tag_of(file) != nullptr;
}

fieldset
mp4_read(TagLib::File *file)
{
	fieldset fs;
	const TagLib::MP4::ItemMap map = tag_of(file)->itemMap();
	auto add = [&](const std::string &name, const std::string &value) {
		if (!value.empty())
			add_value(fs, name, value);
	};
	for (auto it = map.begin(); it != map.end(); ++it) {
		const std::string key = key_bytes(it->first);
		const TagLib::MP4::Item &item = it->second;
		const std::string group = group_of(key, item);
		if (group.empty())
			continue;
		// A user-defined item is shown under its own spelling.
		std::string spelled;
		if (is_freeform(key))
			spelled = find_entry(group) == nullptr ? key.substr(sizeof(freeform) - 1) : "";
		else if (any_freeform(key))
			spelled = key;
		if (key == "trkn" || key == "disk") {
			const TagLib::MP4::Item::IntPair p = item.toIntPair();
			add(group, p.first > 0 ? std::to_string(p.first) : "");
			add(key == "trkn" ? "tracktotal" : "disctotal", p.second > 0 ? std::to_string(p.second) : "");
		} else if (key == "tmpo") {
			add(group, std::to_string(item.toInt()));
		} else if (key == "cpil") {
			add(group, item.toBool() ? "1" : "0");
		} else {
			for (const String &s : item.toStringList()) {
				if (!s.isEmpty())
					add_value(fs, group, s.to8Bit(true), spelled);
			}
		}
	}
	return fs;
}

std::string
mp4_check(TagLib::File *, fieldset &wished)
{
	fold_date_frames(wished);
	for (field &f : wished) {
		if (f.name.empty())
			return "cannot hold a tag without a name";
		if (any_freeform(f.name)) {
			// ----:mean:name, as the item's atoms hold it: iTunes' own
			// items go by their name alone.
			const std::string &k = f.shown();
			const std::size_t colon = k.find(':', 5);
			if (colon == std::string::npos || colon == 5 || k.find(':', colon + 1) != std::string::npos)
				return "cannot hold a tag named " + k + " (a freeform item is ----:MEAN:NAME)";
			if (is_freeform(k))
				return "cannot hold a tag named " + k + " (an item of that mean goes by its name alone)";
		}
		if (!is_number(f.name) && f.name != "compilation")
			continue;
		if (f.values.size() > 1)
			return "cannot hold more than one " + f.name;
		std::string &v = f.values[0];
		if (f.name == "compilation") {
			if (v != "0" && v != "1")
				return "cannot hold compilation=" + v + " (only 0 or 1)";
			continue;
		}
		// Numbers are stored as numbers: the digits are what reads back.
		const bool zero_ok = f.name == "bpm";
		if (!all_digits(v) || v.size() > 5 || std::stoi(v) > 32767 || (!zero_ok && std::stoi(v) == 0))
			return "cannot hold " + f.name + "=" + v + (zero_ok ? " (only a number up to 32767)"
								     : " (only a number from 1 to 32767)");
		v = std::to_string(std::stoi(v));
	}
	return "";
}

std::string
mp4_render(TagLib::File *file, const fieldset &wished, const std::vector<std::string> &changed,
    std::set<std::string> *touched)
{
	TagLib::MP4::Tag *tag = tag_of(file);
	std::set<std::string> groups;
	for (const std::string &n : changed)
		groups.insert(group_of_name(n));
	*touched = groups;

	// The old items of the changed fields go; a freeform item's spelling
	// stays for its new values.
	std::map<std::string, std::string> spelling;
	const TagLib::MP4::ItemMap map = tag->itemMap();
	for (auto it = map.begin(); it != map.end(); ++it) {
		const std::string key = key_bytes(it->first);
		const std::string g = group_of(key, it->second);
		if (g.empty() || groups.count(g) == 0)
			continue;
		if (spelling.count(g) == 0 && any_freeform(key))
			spelling[g] = key;
		tag->removeItem(it->first);
	}

	for (const std::string &g : groups) {
		const field *f = find_field(wished, g);
		if (g == "tracknumber" || g == "discnumber") {
			const int n = number_of(wished, g.c_str());
			const int t = number_of(wished, g == "tracknumber" ? "tracktotal" : "disctotal");
			if (n != 0 || t != 0)
				tag->setItem(g == "tracknumber" ? "trkn" : "disk", TagLib::MP4::Item(n, t));
			continue;
		}
		if (f == nullptr)
			continue;
		if (g == "bpm") {
			tag->setItem("tmpo", TagLib::MP4::Item(std::stoi(f->values[0])));
			continue;
		}
		if (g == "compilation") {
			tag->setItem("cpil", TagLib::MP4::Item(f->values[0] == "1"));
			continue;
		}
		StringList values;
		for (const std::string &v : f->values)
			values.append(String(v, String::UTF8));
		const field_entry *entry = find_entry(g);
		// A name the document spells keeps its spelling; in lower case it
		// may be the one the item had.
		const bool spelled = entry == nullptr && has_upper(f->shown());
		const std::string own = any_freeform(g) ? f->shown() : freeform + f->shown();
		std::string key = spelled		? own
		    : spelling.count(g) > 0		? spelling[g]
		    : entry != nullptr			? std::string(entry->mp4)
							: own;
		tag->setItem(key_string(key), TagLib::MP4::Item(values));
	}
	if (!file->save())
		return "TagLib could not save the tags";
	return "";
}

std::string
mp4_item_group(const std::string &name, const std::string &atom)
{
	// The proof names items in UTF-8; the table has their bytes.
	std::string key;
	for (std::size_t i = 0; i < name.size() && !any_freeform(name); i++) {
		if (name.compare(i, 2, "\xc2\xa9") == 0) {
			key.push_back('\xa9');
			i++;
		} else {
			key.push_back(name[i]);
		}
	}
	if (any_freeform(name))
		key = name;
	if (any_freeform(key)) {
		// Text only: a data atom of type 1 (UTF-8).
		const std::size_t data = atom.find("data", 8);
		if (data == std::string::npos || data + 8 > atom.size() || atom.compare(data + 5, 3, std::string("\0\0\x01", 3)) != 0)
			return "";
		return is_freeform(key) ? described_name(key.substr(sizeof(freeform) - 1), &field_entry::mp4) : lower(key);
	}
	return table_group(key);
}

} // namespace w_tl

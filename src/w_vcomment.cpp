#include "w_vcomment.h"

#include <cerrno>
#include <cstring>
#include <err.h>
#include <cstdlib>
#include <new>
#include <strings.h>
#include <algorithm>

#include "w_picture.h"
#include "w_taglist.h"
#include "w_toolkit.h"

namespace {

void
warn_escaped(const char *what, const char *s, std::size_t len)
{
	try {
		warnx("%s: %s", what, w_escape(s, len).c_str());
	} catch (const std::bad_alloc &) {
		warnx("%s", what);
	}
}

} // namespace

int
w_vcomment_insert(struct w_taglist *tlist, const char *entry, std::size_t len)
{
	assert(tlist != NULL);
	assert(entry != NULL || len == 0);

	const char *eq = len != 0 ? static_cast<const char *>(std::memchr(entry, '=', len)) : nullptr;
	if (eq == nullptr || std::memchr(entry, '\0', len) != nullptr) {
		warn_escaped("invalid vorbis comment", entry, len);
		errno = EINVAL;
		return -1;
	}
	const std::size_t split = static_cast<std::size_t>(eq - entry);
	return w_taglist_insert_len(tlist, entry, split, eq + 1, len - split - 1);
}

bool
w_vcomment_keyok(const char *key)
{
	assert(key != NULL);
	for (const unsigned char *p = reinterpret_cast<const unsigned char *>(key); *p != '\0'; p++) {
		if (*p < 0x20 || *p > 0x7D || *p == '=')
			return false;
	}
	return true;
}

int
w_vcomment_check(const struct w_taglist *tlist)
{
	assert(tlist != NULL);
	const struct w_tag *tag;
	W_TAGLIST_FOREACH(tag, tlist) {
		if (!w_vcomment_keyok(tag->key)) {
			warn_escaped("invalid vorbis comment name", tag->key, tag->keylen);
			errno = EINVAL;
			return -1;
		}
	}
	return 0;
}

bool
w_vcomment_same(const struct w_taglist *tlist, const std::vector<std::string_view> &entries)
{
	assert(tlist != NULL);
	std::size_t i = 0;
	const struct w_tag *tag;
	W_TAGLIST_FOREACH(tag, tlist) {
		if (w_vcomment_picture(std::string_view(tag->key, tag->keylen)))
			continue;
		while (i < entries.size() && w_vcomment_picture(entries[i]))
			i++;
		if (i == entries.size())
			return false;
		std::string_view e = entries[i++];
		if (e.size() != tag->keylen + 1 + tag->vallen || e[tag->keylen] != '=' ||
		    strncasecmp(e.data(), tag->key, tag->keylen) != 0 ||
		    e.substr(tag->keylen + 1) != std::string_view(tag->val, tag->vallen))
			return false;
	}
	while (i < entries.size() && w_vcomment_picture(entries[i]))
		i++;
	return i == entries.size();
}

bool
w_vcomment_picture(std::string_view entry)
{
	const std::string_view name = entry.substr(0, entry.find('='));
	for (const char *picture : {"METADATA_BLOCK_PICTURE", "COVERART", "COVERARTMIME"}) {
		if (name.size() == std::strlen(picture) && strncasecmp(name.data(), picture, name.size()) == 0)
			return true;
	}
	return false;
}

std::vector<std::string>
w_vcomment_merge(const char *path, const struct w_taglist *tlist, const std::vector<std::string_view> &was)
{
	assert(path != NULL);
	assert(tlist != NULL);
	std::vector<std::string> out;
	out.reserve(tlist->count + was.size());
	std::vector<std::string_view> warned;
	const struct w_tag *tag;
	W_TAGLIST_FOREACH(tag, tlist) {
		const std::string_view key(tag->key, tag->keylen);
		if (!w_vcomment_picture(key)) {
			std::string e;
			e.reserve(tag->keylen + 1 + tag->vallen);
			e.append(key).append(1, '=').append(tag->val, tag->vallen);
			out.push_back(std::move(e));
		} else if (std::find(warned.begin(), warned.end(), key) == warned.end()) {
			warned.push_back(key);
			warnx("%s: `%s' is a picture, not a tag: the file's pictures are left as they are", path,
			    w_escape(tag->key, tag->keylen).c_str());
		}
	}
	for (std::string_view e : was) {
		if (w_vcomment_picture(e))
			out.emplace_back(e);
	}
	return out;
}

namespace {

// The pictures among the entries, each with the indices of the entries
// that hold it.
void
pictures_of(const char *path, const std::vector<std::string_view> &entries, std::vector<w_picture> *out,
    std::vector<std::vector<std::size_t>> *held_by)
{
	assert(path != NULL);
	auto named = [](std::string_view e, const char *name) {
		const std::size_t n = std::strlen(name);
		return e.size() > n && e[n] == '=' && strncasecmp(e.data(), name, n) == 0;
	};
	for (std::size_t i = 0; i < entries.size(); i++) {
		const std::string_view e = entries[i];
		w_picture p;
		std::string raw;
		std::vector<std::size_t> held{i};
		bool ok;
		if (named(e, "METADATA_BLOCK_PICTURE")) {
			ok = w_base64_decode(e.substr(e.find('=') + 1), &raw) && w_picture_parse(raw, &p);
		} else if (named(e, "COVERART")) {
			p.type = 0;
			ok = w_base64_decode(e.substr(e.find('=') + 1), &p.data);
			if (i + 1 < entries.size() && named(entries[i + 1], "COVERARTMIME")) {
				p.mime = entries[i + 1].substr(entries[i + 1].find('=') + 1);
				held.push_back(i + 1);
			}
		} else {
			continue;
		}
		if (!ok) {
			warnx("%s: a picture comment that does not decode is left out", path);
			continue;
		}
		out->push_back(std::move(p));
		if (held_by != nullptr)
			held_by->push_back(std::move(held));
	}
}

} // namespace

void
w_vcomment_pictures(const char *path, const std::vector<std::string_view> &entries, std::vector<w_picture> *out)
{
	pictures_of(path, entries, out, nullptr);
}

std::vector<std::string>
w_vcomment_repicture(const char *path, const std::vector<std::string_view> &was,
    const std::vector<w_picture_slot> &slots)
{
	std::vector<w_picture> pics;
	std::vector<std::vector<std::size_t>> held_by;
	pictures_of(path, was, &pics, &held_by);
	std::vector<bool> listed(was.size(), false);
	for (const std::vector<std::size_t> &held : held_by) {
		for (std::size_t i : held)
			listed[i] = true;
	}
	std::vector<std::string> out;
	// The tags, then what no listed picture holds (a picture comment that
	// does not decode cannot be chosen, so it stays), then the pictures.
	for (std::string_view e : was) {
		if (!w_vcomment_picture(e))
			out.emplace_back(e);
	}
	for (std::size_t i = 0; i < was.size(); i++) {
		if (w_vcomment_picture(was[i]) && !listed[i])
			out.emplace_back(was[i]);
	}
	for (const w_picture_slot &s : slots) {
		if (s.from >= 0) {
			assert(static_cast<std::size_t>(s.from) < held_by.size());
			for (std::size_t i : held_by[static_cast<std::size_t>(s.from)])
				out.emplace_back(was[i]);
		} else {
			out.push_back("METADATA_BLOCK_PICTURE=" + w_base64_encode(w_picture_render(s.pic)));
		}
	}
	return out;
}

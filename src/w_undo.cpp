#include "w_undo.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <fstream>
#include <map>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "w_fileid.h"
#include "w_journal.h"
#include "w_json.h"
#include "w_renamer.h"
#include "w_settings.h"
#include "w_taglist.h"
#include "w_toolkit.h"
#include "w_tune.h"

namespace {

using json = nlohmann::json;

struct entry {
	std::size_t line = 0;
	json old, neo;  // the documents before and as the run meant them
	json now;       // after the run; null when the run never got there
	std::string moving; // where the run was moving it, if it was
	w_fileid id;    // the file as the run left it
};

// The tags of a JSON tag document, or null.
w_taglist_ptr
tags_of(const json &doc)
{
	const std::string text = doc.dump();
	FILE *fp = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
	if (fp == nullptr)
		return nullptr;
	char *msg = nullptr;
	w_taglist_ptr tags(w_json2tags(fp, &msg));
	std::fclose(fp);
	std::free(msg);
	return tags;
}

// The tags a tune holds, as the "tags" member of a document.
json
tags_now(struct w_tune *tune)
{
	const struct w_taglist *tags = w_tune_cached_tags(tune);
	if (tags == nullptr)
		return json();
	w_cstr_ptr doc(w_tags2json(tags, w_tune_path(tune)));
	if (doc == nullptr)
		return json();
	return json::parse(doc.get())["tags"];
}

struct timespec
timespec_of(const std::string &text)
{
	struct timespec t = {};
	long long sec = 0;
	long nsec = 0;
	if (std::sscanf(text.c_str(), "%lld.%ld", &sec, &nsec) == 2) {
		t.tv_sec = static_cast<time_t>(sec);
		t.tv_nsec = nsec;
	}
	return t;
}

// A directory a rename of the run made, as it was made.
struct made_dir {
	std::string path;
	dev_t dev = 0;
	ino_t ino = 0;
};

bool
read_journal(const char *path, std::vector<entry> &entries, std::vector<made_dir> &dirs)
{
	std::ifstream in(path);
	if (!in) {
		warn("%s", path);
		return false;
	}
	std::string text;
	std::size_t line = 0;
	bool header = false;
	while (std::getline(in, text)) {
		line++;
		json j = json::parse(text, nullptr, false);
		if (j.is_discarded() || !j.is_object()) {
			// A run killed while writing leaves at most its last line cut.
			if (in.peek() == EOF && header)
				break;
			warnx("%s: line %zu: not a line of a journal", path, line);
			return false;
		}
		if (!header) {
			if (!j.contains(w_journal_magic)) {
				warnx("%s: not a journal of wembrix", path);
				return false;
			}
			alltagsflag = j.value("all-tags", false) ? 1 : 0;
			header = true;
		} else if (j.contains("entry")) {
			entry e;
			e.line = line;
			e.old = j.at("old");
			e.neo = j.at("new");
			entries.push_back(std::move(e));
		} else if (j.contains("moving") && !entries.empty()) {
			entries.back().moving = j.at("to").at("file").get<std::string>();
		} else if (j.contains("made")) {
			made_dir d;
			d.path = j.at("dir").at("file").get<std::string>();
			d.dev = j.at("dev").get<dev_t>();
			d.ino = j.at("ino").get<ino_t>();
			dirs.push_back(std::move(d));
		} else if (j.contains("done") && !entries.empty()) {
			entry &e = entries.back();
			e.now = j.at("now");
			e.id.dev = j.at("dev").get<dev_t>();
			e.id.ino = j.at("ino").get<ino_t>();
			e.id.size = j.at("size").get<off_t>();
			e.id.mtime = timespec_of(j.at("mtime").get<std::string>());
			e.id.ctime = timespec_of(j.at("ctime").get<std::string>());
		}
	}
	if (in.bad()) {
		warn("%s", path);
		return false;
	}
	if (!header) {
		warnx("%s: not a journal of wembrix", path);
		return false;
	}
	return true;
}

bool
same_id(const w_fileid &a, const w_fileid &b)
{
	return a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
	    a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec &&
	    a.ctime.tv_sec == b.ctime.tv_sec && a.ctime.tv_nsec == b.ctime.tv_nsec;
}

// The files this undo has restored already, as it left them: a file the
// run wrote twice is, after its later entry, as the run left it the first
// time, but with an identity of ours.
using restored_files = std::map<std::string, w_fileid>;

int
restore(const entry &e, restored_files &restored)
{
	const std::string old_path = e.old.at("file").get<std::string>();
	const bool done = !e.now.is_null();
	std::string path = done ? e.now.at("file").get<std::string>() : old_path;
	// A run killed while moving the file left it at one end of the move.
	struct stat st;
	if (!done && !e.moving.empty() && stat(old_path.c_str(), &st) == -1)
		path = e.moving;
	const char *p = path.c_str();

	w_fileid id;
	if (w_fileid_take(p, id) == -1) {
		warn("%s: not restored", p);
		return -1;
	}
	const auto ours = restored.find(path);
	if (done && !same_id(id, e.id) && (ours == restored.end() || !same_id(id, ours->second))) {
		warnx("%s: changed since the run wrote it; left as it is", p);
		return -1;
	}
	w_tune_ptr tune(w_tune_new(p));
	if (tune == nullptr) {
		if (errno != EINVAL)
			warn("%s: not restored", p);
		return -1;
	}
	const json tags = tags_now(tune.get());
	if (!done && tags != e.neo.at("tags") && tags != e.old.at("tags")) {
		warnx("%s: the run ended before it was done with this file, which holds other tags "
		    "than the run gave it; left as it is", p);
		return -1;
	}
	if (path != old_path) {
		if (w_rename_safe(p, old_path.c_str()) == -1)
			return -1;
		if (w__tune_reload__(tune.get(), old_path.c_str()) == -1) {
			warnx("%s: moved back, but cannot be opened again", old_path.c_str());
			return -1;
		}
	}
	w_taglist_ptr old(tags_of(e.old));
	if (old == nullptr) {
		warnx("%s: the journal's tags for it cannot be read", old_path.c_str());
		return -1;
	}
	if (w_tune_set_tags(tune.get(), old.get()) == -1 || w_tune_commit(tune.get()) == -1)
		return -1;
	if (w_fileid_take(old_path.c_str(), id) == 0)
		restored[old_path] = id;
	return 0;
}

/*
 * Removes the directories the run made, the last made first (the deeper
 * ones of a path before the ones that hold them), each only while it is
 * still the very directory made and it is empty: anything put in it since,
 * or a file the undo refused, keeps it.  0, or -1 (said) when one could
 * not be looked at or removed for another reason.
 */
int
remove_made_dirs(const std::vector<made_dir> &dirs)
{
	int ret = 0;
	for (auto d = dirs.rbegin(); d != dirs.rend(); ++d) {
		struct stat st;
		if (lstat(d->path.c_str(), &st) == -1) {
			if (errno != ENOENT) {
				warn("%s", d->path.c_str());
				ret = -1;
			}
			continue;
		}
		if (!S_ISDIR(st.st_mode) || st.st_dev != d->dev || st.st_ino != d->ino)
			continue; // another directory, or none, by that name now
		if (rmdir(d->path.c_str()) == -1 && errno != ENOTEMPTY && errno != EEXIST &&
		    errno != ENOENT) {
			warn("%s", d->path.c_str());
			ret = -1;
		}
	}
	return ret;
}

} // namespace

int
w_undo(const char *journal)
{
	assert(journal != NULL);

	try {
		std::vector<entry> entries;
		std::vector<made_dir> dirs;
		if (!read_journal(journal, entries, dirs))
			return -1;
		// Directories a rename made are made again where they are gone.
		pflag = 1;
		int ret = 0;
		restored_files restored;
		for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
			try {
				if (restore(*e, restored) == -1)
					ret = -1;
			} catch (const json::exception &ex) {
				warnx("%s: line %zu: %s", journal, e->line, ex.what());
				ret = -1;
			}
		}
		if (remove_made_dirs(dirs) == -1)
			ret = -1;
		return ret;
	} catch (const std::bad_alloc &) {
		errno = ENOMEM;
		warn("%s", journal);
		return -1;
	} catch (const json::exception &ex) {
		warnx("%s: not a journal of wembrix: %s", journal, ex.what());
		return -1;
	}
}

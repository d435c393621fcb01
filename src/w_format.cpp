#include "w_format.h"

#include <cstring>

#include "w_json.h"
#include "w_toolkit.h"
#include "w_yaml.h"

struct w_formatQ *
w_all_formats(void)
{
	static struct w_formatQ registry = TAILQ_HEAD_INITIALIZER(registry);
	static bool built = false;

	if (!built) {
		TAILQ_INSERT_TAIL(&registry, w_yaml_format(), entries);
		TAILQ_INSERT_TAIL(&registry, w_json_format(), entries);
		built = true;
	}
	return &registry;
}

void
w_fmtinput_index(w_fmtinput *in)
{
	assert(in != NULL);

	in->by_file.clear();
	in->unnamed = w_fmtinput::none;
	in->by_file.reserve(in->docs.size());
	for (std::size_t i = 0; i < in->docs.size(); i++) {
		const w_fmtdoc &doc = in->docs[i];
		if (!doc.named) {
			if (in->unnamed == w_fmtinput::none)
				in->unnamed = i;
			continue;
		}
		w_fmtinput::names &n = in->by_file[doc.file];
		if (n.first == w_fmtinput::none)
			n.first = i;
		else if (n.second == w_fmtinput::none)
			n.second = i;
	}
}

const struct w_taglist *
w_fmtinput_find(const w_fmtinput *in, const char *path, w_fmtmatch match, char **errmsg)
{
	assert(in != NULL);
	assert(path != NULL);
	assert(errmsg != NULL);

	const w_fmtdocs &docs = in->docs;
	auto shown = [path] { return w_escape(path, std::strlen(path)); };
	if (docs.empty()) {
		w_xasprintf(errmsg, "%s: the input holds no tag document", shown().c_str());
		return nullptr;
	}
	// A document that names no file is anybody's, as a document of any
	// other format is.
	if (docs.size() == 1 && (!docs[0].named || match == w_fmtmatch::lone_serves_any))
		return docs[0].tlist.get();
	// Among several, each must say whose it is.
	if (docs.size() > 1 && in->unnamed != w_fmtinput::none) {
		w_xasprintf(errmsg, "%s: one of several tag documents names no \"file\" (line %zu)",
		    shown().c_str(), docs[in->unnamed].line);
		return nullptr;
	}
	auto it = in->by_file.find(std::string_view(path));
	if (it == in->by_file.end()) {
		w_xasprintf(errmsg, "%s: no tag document names this file", shown().c_str());
		return nullptr;
	}
	const w_fmtinput::names &n = it->second;
	if (n.second != w_fmtinput::none) {
		w_xasprintf(errmsg, "%s: more than one tag document names this file (lines %zu and %zu)",
		    shown().c_str(), docs[n.first].line, docs[n.second].line);
		return nullptr;
	}
	return docs[n.first].tlist.get();
}

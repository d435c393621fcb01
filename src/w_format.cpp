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

const struct w_taglist *
w_fmtdocs_find(const w_fmtdocs *docs, const char *path, char **errmsg)
{
	assert(docs != NULL);
	assert(path != NULL);
	assert(errmsg != NULL);

	if (docs->empty()) {
		w_xasprintf(errmsg, "%s: the input holds no tag document", w_escape(path, std::strlen(path)).c_str());
		return nullptr;
	}
	// A lone document is taken whatever file it names, as a document of
	// any other format would be: it may be copied from one file to another.
	if (docs->size() == 1)
		return (*docs)[0].tlist.get();

	const w_fmtdoc *found = nullptr;
	for (const w_fmtdoc &doc : *docs) {
		if (!doc.named || doc.file != path)
			continue;
		if (found != nullptr) {
			w_xasprintf(errmsg, "%s: more than one tag document names this file (lines %zu and %zu)",
			    w_escape(path, std::strlen(path)).c_str(), found->line, doc.line);
			return nullptr;
		}
		found = &doc;
	}
	if (found == nullptr) {
		w_xasprintf(errmsg, "%s: no tag document names this file",
		    w_escape(path, std::strlen(path)).c_str());
		return nullptr;
	}
	return found->tlist.get();
}

#include "w_yaml.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <yaml.h>

#include "w_sbuf.h"
#include "w_toolkit.h"

struct w_format *
w_yaml_format(void)
{
	static struct w_format yaml = {
		"libyaml",
		"yml",
		"YAML - YAML Ain't Markup Language",
		w_tags2yaml,
		w_yaml2tags,
		{},
	};
	return &yaml;
}

int
w_yaml_whdl(void *sb, unsigned char *buffer, std::size_t size)
{
	assert(sb != NULL);
	assert(buffer != NULL);
	// A failed append is remembered by the buffer and reported when it is
	// finished; libyaml is always told that the write went well.
	static_cast<w_sbuf *>(sb)->bcat(buffer, size);
	return 1;
}

namespace {

yaml_char_t *
ystr(const char *s)
{
	return reinterpret_cast<yaml_char_t *>(const_cast<char *>(s));
}

// libyaml refuses text that is not UTF-8; say which file and tag it was.
bool
tags_are_utf8(const struct w_taglist *tlist, const char *path)
{
	const char *what = path != nullptr ? path : "tags";
	struct w_tag *tag;
	W_TAGLIST_FOREACH(tag, tlist) {
		if (!w_utf8_valid(tag->key, tag->keylen)) {
			warnx("%s: a tag name is not valid UTF-8, cannot write it as YAML", what);
			return false;
		}
		if (!w_utf8_valid(tag->val, tag->vallen)) {
			warnx("%s: the value of tag `%s' is not valid UTF-8, cannot write it as YAML",
			    what, tag->key);
			return false;
		}
	}
	return true;
}

} // namespace

char *
w_tags2yaml(const struct w_taglist *tlist, const char *path)
{
	assert(tlist != NULL);

	w_sbuf sb;
	if (path != nullptr)
		sb.printf("# %s\n", path);
	if (!tags_are_utf8(tlist, path)) {
		errno = EILSEQ;
		return nullptr;
	}

	yaml_emitter_t emitter;
	if (!yaml_emitter_initialize(&emitter)) {
		warnx("w_tags2yaml: emit error");
		std::abort();
	}
	struct emitter_guard {
		yaml_emitter_t *e;
		~emitter_guard() { yaml_emitter_delete(e); }
	} guard{&emitter};
	yaml_emitter_set_output(&emitter, w_yaml_whdl, &sb);
	yaml_emitter_set_unicode(&emitter, 1);

	yaml_event_t event;
	// Emitting hands the event over to libyaml, which frees it.
	auto emit = [&](int prepared) {
		if (!prepared)
			return false;
		if (!yaml_emitter_emit(&emitter, &event)) {
			warnx("w_tags2yaml: emit error");
			std::abort();
		}
		return true;
	};
	auto scalar = [&](const char *text, std::size_t len, yaml_scalar_style_t style) {
		return emit(yaml_scalar_event_initialize(&event, nullptr, ystr(YAML_STR_TAG),
		    ystr(text), static_cast<int>(len), 1, 1, style));
	};

	bool ok = emit(yaml_stream_start_event_initialize(&event, YAML_UTF8_ENCODING)) &&
	    emit(yaml_document_start_event_initialize(&event, nullptr, nullptr, nullptr, 0)) &&
	    emit(yaml_sequence_start_event_initialize(&event, nullptr, ystr(YAML_SEQ_TAG), 1,
		YAML_BLOCK_SEQUENCE_STYLE));
	struct w_tag *tag;
	for (tag = w_taglist_first(tlist); ok && tag != nullptr; tag = w_taglist_next(tag)) {
		yaml_scalar_style_t style = std::memchr(tag->val, '\n', tag->vallen) != nullptr
		    ? YAML_LITERAL_SCALAR_STYLE : YAML_PLAIN_SCALAR_STYLE;
		ok = emit(yaml_mapping_start_event_initialize(&event, nullptr, ystr(YAML_MAP_TAG), 1,
			 YAML_BLOCK_MAPPING_STYLE)) &&
		    scalar(tag->key, tag->keylen, YAML_PLAIN_SCALAR_STYLE) &&
		    scalar(tag->val, tag->vallen, style) &&
		    emit(yaml_mapping_end_event_initialize(&event));
	}
	ok = ok && emit(yaml_sequence_end_event_initialize(&event)) &&
	    emit(yaml_document_end_event_initialize(&event, 1)) &&
	    emit(yaml_stream_end_event_initialize(&event));
	if (!ok) {
		errno = ENOMEM;
		return nullptr;
	}

	if (sb.finish() == -1) {
		warn("sbuf_finish");
		return nullptr;
	}
	return sb.dup();
}

struct w_taglist *
w_yaml2tags(FILE *fp, char **errmsg)
{
	assert(fp != NULL);
	// Reading documents back arrives with the load action.
	if (errmsg != nullptr)
		w_xasprintf(errmsg, "reading YAML tag documents is not supported yet");
	return nullptr;
}

#include "w_yaml.h"

#include <cerrno>
#include <cstdarg>
#include <iterator>
#include <memory>
#include <string>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <yaml.h>

#include "w_sbuf.h"
#include "w_yaml_plain.h"
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
		if (!w_utf8_valid(tag->spelled, tag->keylen)) {
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

int
w_yaml_emit(const struct w_taglist *tlist, w_sbuf &sb)
{
	assert(tlist != NULL);

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
		// Text another reader would take for a number, a boolean or a
		// null is quoted, so that every reader takes it as text.
		yaml_scalar_style_t style = std::memchr(tag->val, '\n', tag->vallen) != nullptr
		    ? YAML_LITERAL_SCALAR_STYLE
		    : w_yaml_plain_resolves(tag->val, tag->vallen) ? YAML_SINGLE_QUOTED_SCALAR_STYLE
		    : YAML_PLAIN_SCALAR_STYLE;
		yaml_scalar_style_t keystyle = w_yaml_plain_resolves(tag->spelled, tag->keylen)
		    ? YAML_SINGLE_QUOTED_SCALAR_STYLE : YAML_PLAIN_SCALAR_STYLE;
		ok = emit(yaml_mapping_start_event_initialize(&event, nullptr, ystr(YAML_MAP_TAG), 1,
			 YAML_BLOCK_MAPPING_STYLE)) &&
		    scalar(tag->spelled, tag->keylen, keystyle) &&
		    scalar(tag->val, tag->vallen, style) &&
		    emit(yaml_mapping_end_event_initialize(&event));
	}
	ok = ok && emit(yaml_sequence_end_event_initialize(&event)) &&
	    emit(yaml_document_end_event_initialize(&event, 1)) &&
	    emit(yaml_stream_end_event_initialize(&event));
	if (!ok) {
		errno = ENOMEM;
		return -1;
	}
	return 0;
}

char *
w_tags2yaml(const struct w_taglist *tlist, const char *path)
{
	assert(tlist != NULL);

	w_sbuf sb;
	// A path may hold any byte but a NUL; escaped, it stays on its comment
	// line and the document can always be read back.
	if (path != nullptr) {
		const std::string shown = w_escape(path, std::strlen(path));
		sb.cat("# ");
		sb.bcat(shown.data(), shown.size());
		sb.putc('\n');
	}
	if (!tags_are_utf8(tlist, path)) {
		errno = EILSEQ;
		return nullptr;
	}
	// Most documents hold only short plain text: they are written directly,
	// as the emitter would write them, which spares an emitter per file.
	if (!w_yaml_plain_doc(tlist, sb) && w_yaml_emit(tlist, sb) == -1)
		return nullptr;
	if (sb.finish() == -1) {
		warn("sbuf_finish");
		return nullptr;
	}
	return sb.dup();
}

const char *const w_yaml_event_names[11] = {
	"YAML_NO_EVENT",
	"YAML_STREAM_START_EVENT",
	"YAML_STREAM_END_EVENT",
	"YAML_DOCUMENT_START_EVENT",
	"YAML_DOCUMENT_END_EVENT",
	"YAML_ALIAS_EVENT",
	"YAML_SCALAR_EVENT",
	"YAML_SEQUENCE_START_EVENT",
	"YAML_SEQUENCE_END_EVENT",
	"YAML_MAPPING_START_EVENT",
	"YAML_MAPPING_END_EVENT",
};

namespace {

const char *
event_name(const yaml_event_t *e)
{
	auto type = static_cast<unsigned>(e->type);
	return type < std::size(w_yaml_event_names) ? w_yaml_event_names[type] : "unknown event";
}

// Records what went wrong and stops the machine.
void fsm_error(struct w_yaml_fsm *FSM, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

void
fsm_error(struct w_yaml_fsm *FSM, const char *fmt, ...)
{
	std::va_list ap;
	va_start(ap, fmt);
	int n = vasprintf(&FSM->errmsg, fmt, ap);
	va_end(ap);
	if (n < 0)
		err(1, "asprintf");
	FSM->running = 0;
	FSM->state = w_yaml_parse_done;
}

// A scalar's bytes as a NUL-terminated string; a NUL inside the scalar
// (only possible through an escape) ends the text there.
char *
scalar_copy(const yaml_event_t *e)
{
	std::size_t len = e->data.scalar.length;
	char *copy = static_cast<char *>(std::calloc(len + 1, 1));
	if (copy == nullptr)
		err(1, "calloc");
	std::memcpy(copy, e->data.scalar.value, len);
	return copy;
}

} // namespace

void
w_yaml_parse_stream_start(struct w_yaml_fsm *FSM, const yaml_event_t *e)
{
	assert(FSM != NULL);
	assert(e != NULL);
	if (e->type != YAML_STREAM_START_EVENT)
		return fsm_error(FSM, "expected %s, got %s", "YAML_STREAM_START_EVENT", event_name(e));
	FSM->tlist = w_taglist_new();
	if (FSM->tlist == nullptr)
		err(1, "malloc");
	FSM->running = 1;
	FSM->state = w_yaml_parse_document_start;
}

void
w_yaml_parse_document_start(struct w_yaml_fsm *FSM, const yaml_event_t *e)
{
	assert(FSM != NULL);
	assert(e != NULL);
	switch (e->type) {
	case YAML_DOCUMENT_START_EVENT:
		FSM->state = w_yaml_parse_sequence_start;
		break;
	case YAML_STREAM_END_EVENT: // no document at all: no tags
		FSM->running = 0;
		FSM->state = w_yaml_parse_done;
		break;
	default:
		fsm_error(FSM, "expected %s or %s, got %s", "YAML_DOCUMENT_START_EVENT",
		    "YAML_STREAM_END_EVENT", event_name(e));
	}
}

void
w_yaml_parse_sequence_start(struct w_yaml_fsm *FSM, const yaml_event_t *e)
{
	assert(FSM != NULL);
	assert(e != NULL);
	switch (e->type) {
	case YAML_SEQUENCE_START_EVENT:
		FSM->state = w_yaml_parse_mapping_start;
		break;
	case YAML_DOCUMENT_END_EVENT:
		FSM->state = w_yaml_parse_stream_end;
		break;
	default:
		fsm_error(FSM, "expected %s or %s, got %s", "YAML_SEQUENCE_START_EVENT",
		    "YAML_DOCUMENT_END_EVENT", event_name(e));
	}
}

void
w_yaml_parse_mapping_start(struct w_yaml_fsm *FSM, const yaml_event_t *e)
{
	assert(FSM != NULL);
	assert(e != NULL);
	switch (e->type) {
	case YAML_MAPPING_START_EVENT:
		FSM->state = w_yaml_parse_scalar_key;
		break;
	case YAML_SEQUENCE_END_EVENT:
		FSM->state = w_yaml_parse_document_end;
		break;
	default:
		fsm_error(FSM, "expected %s or %s, got %s", "YAML_MAPPING_START_EVENT",
		    "YAML_SEQUENCE_END_EVENT", event_name(e));
	}
}

void
w_yaml_parse_scalar_key(struct w_yaml_fsm *FSM, const yaml_event_t *e)
{
	assert(FSM != NULL);
	assert(e != NULL);
	if (e->type != YAML_SCALAR_EVENT)
		return fsm_error(FSM, "expected %s (key), got %s", "YAML_SCALAR_EVENT", event_name(e));
	FSM->key = scalar_copy(e);
	FSM->state = w_yaml_parse_scalar_value;
}

void
w_yaml_parse_scalar_value(struct w_yaml_fsm *FSM, const yaml_event_t *e)
{
	assert(FSM != NULL);
	assert(e != NULL);
	if (e->type != YAML_SCALAR_EVENT)
		return fsm_error(FSM, "expected %s (value), got %s", "YAML_SCALAR_EVENT",
		    event_name(e));
	char *val = scalar_copy(e);
	if (w_taglist_insert_spelled(FSM->tlist, FSM->key, val) == -1)
		err(1, "malloc");
	std::free(val);
	std::free(FSM->key);
	FSM->key = nullptr;
	FSM->state = w_yaml_parse_mapping_end;
}

void
w_yaml_parse_mapping_end(struct w_yaml_fsm *FSM, const yaml_event_t *e)
{
	assert(FSM != NULL);
	assert(e != NULL);
	if (e->type != YAML_MAPPING_END_EVENT)
		return fsm_error(FSM, "expected %s, got %s", "YAML_MAPPING_END_EVENT", event_name(e));
	FSM->state = w_yaml_parse_mapping_start;
}

void
w_yaml_parse_document_end(struct w_yaml_fsm *FSM, const yaml_event_t *e)
{
	assert(FSM != NULL);
	assert(e != NULL);
	if (e->type != YAML_DOCUMENT_END_EVENT)
		return fsm_error(FSM, "expected %s, got %s", "YAML_DOCUMENT_END_EVENT", event_name(e));
	FSM->state = w_yaml_parse_stream_end;
}

void
w_yaml_parse_stream_end(struct w_yaml_fsm *FSM, const yaml_event_t *e)
{
	assert(FSM != NULL);
	assert(e != NULL);
	if (e->type != YAML_STREAM_END_EVENT)
		return fsm_error(FSM, "expected %s, got %s", "YAML_STREAM_END_EVENT", event_name(e));
	FSM->running = 0;
	FSM->state = w_yaml_parse_done;
}

void
w_yaml_parse_done(struct w_yaml_fsm *FSM, const yaml_event_t *e)
{
	assert(FSM != NULL);
	assert(e != NULL);
	// The driving loop stops as soon as running drops to 0.
	std::abort();
}

namespace {

struct parser_deleter {
	void operator()(yaml_parser_t *p) const { yaml_parser_delete(p); }
};

// Whatever the machine still holds when the document is rejected.
struct fsm_releaser {
	struct w_yaml_fsm *FSM;
	~fsm_releaser()
	{
		std::free(FSM->key);
		std::free(FSM->errmsg);
		w_taglist_destroy(FSM->tlist);
	}
};

const char *
text(const char *s)
{
	return s != nullptr ? s : "unknown problem";
}

// The message for a parser that failed, with lines and columns from 1.
char *
parser_message(const yaml_parser_t *parser)
{
	char *msg = nullptr;
	const char *kind = "Scanner";
	switch (parser->error) {
	case YAML_MEMORY_ERROR:
		w_xasprintf(&msg, "w_yaml2tags: YAML Parser (ENOMEM)");
		break;
	case YAML_READER_ERROR:
		if (parser->problem_value == -1)
			w_xasprintf(&msg, "w_yaml2tags: Reader error: %s at %zu\n",
			    text(parser->problem), parser->problem_offset);
		else
			w_xasprintf(&msg, "w_yaml2tags: Reader error: %s: #%X at %zu\n",
			    text(parser->problem), static_cast<unsigned>(parser->problem_value),
			    parser->problem_offset);
		break;
	case YAML_PARSER_ERROR:
		kind = "Parser";
		[[fallthrough]];
	case YAML_SCANNER_ERROR:
		if (parser->context != nullptr)
			w_xasprintf(&msg, "w_yaml2tags: %s error: %s at line %zu, column %zu\n"
			    "%s at line %zu, column %zu\n", kind, parser->context,
			    parser->context_mark.line + 1, parser->context_mark.column + 1,
			    text(parser->problem), parser->problem_mark.line + 1,
			    parser->problem_mark.column + 1);
		else
			w_xasprintf(&msg, "w_yaml2tags: %s error: %s at line %zu, column %zu\n",
			    kind, text(parser->problem), parser->problem_mark.line + 1,
			    parser->problem_mark.column + 1);
		break;
	case YAML_NO_ERROR:
	case YAML_COMPOSER_ERROR:
	case YAML_WRITER_ERROR:
	case YAML_EMITTER_ERROR:
	default: {
		static const char *const names[] = {"YAML_NO_ERROR", "YAML_MEMORY_ERROR",
		    "YAML_READER_ERROR", "YAML_SCANNER_ERROR", "YAML_PARSER_ERROR",
		    "YAML_COMPOSER_ERROR", "YAML_WRITER_ERROR", "YAML_EMITTER_ERROR"};
		auto code = static_cast<unsigned>(parser->error);
		w_xasprintf(&msg, "libyaml internal error\nbad error type while parsing: %s",
		    code < std::size(names) ? names[code] : "unknown error");
	}
	}
	return msg;
}

} // namespace

struct w_taglist *
w_yaml2tags(FILE *fp, char **errmsg)
{
	assert(fp != NULL);

	struct w_yaml_fsm FSM{};
	FSM.state = w_yaml_parse_stream_start;
	fsm_releaser release{&FSM};

	char *msg = nullptr;
	yaml_parser_t parser;
	if (!yaml_parser_initialize(&parser)) {
		msg = parser_message(&parser);
	} else {
		std::unique_ptr<yaml_parser_t, parser_deleter> guard(&parser);
		yaml_parser_set_input_file(&parser, fp);
		bool parsed = true;
		// The first event always reaches the machine, which starts it.
		do {
			yaml_event_t event;
			if (!yaml_parser_parse(&parser, &event)) {
				parsed = false;
				break;
			}
			FSM.state(&FSM, &event);
			yaml_event_delete(&event);
		} while (FSM.running);

		if (!parsed) {
			msg = parser_message(&parser);
		} else if (FSM.errmsg != nullptr) {
			w_xasprintf(&msg, "YAML parser: %s", FSM.errmsg);
		} else {
			struct w_taglist *tlist = FSM.tlist;
			FSM.tlist = nullptr;
			return tlist;
		}
	}
	// No tag is handed out from a rejected document.
	if (errmsg != nullptr)
		*errmsg = msg;
	else
		std::free(msg);
	return nullptr;
}

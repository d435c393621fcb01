#include "w_json.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <err.h>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <tuple>

#include <nlohmann/json.hpp>

#include "w_toolkit.h"

struct w_format *
w_json_format(void)
{
	static struct w_format json = {
		"nlohmann-json",
		"json",
		"JSON - JavaScript Object Notation, one line per file",
		w_tags2json,
		w_json2tags,
		{},
		w_json2docs,
	};
	return &json;
}

/* Writing.  The document is written directly, sized first and then filled
 * in one allocation: building the library's value tree for it would cost an
 * allocation per string, on every file printed. */

namespace {

// How a byte goes into a JSON string: as it is, as a two-character escape,
// as a \u00XX escape, or as it is once the whole text is known to be UTF-8.
enum : unsigned char { AS_IS, SHORT_ESC, HEX_ESC, NON_ASCII };

struct byte_classes {
	unsigned char cls[256];
	char short_esc[256];
	constexpr byte_classes() : cls(), short_esc()
	{
		for (int c = 0; c < 256; c++)
			cls[c] = c < 0x20 ? HEX_ESC : c >= 0x80 ? NON_ASCII : AS_IS;
		const char pairs[][2] = {{'"', '"'}, {'\\', '\\'}, {'\b', 'b'}, {'\f', 'f'},
		    {'\n', 'n'}, {'\r', 'r'}, {'\t', 't'}};
		for (const auto &p : pairs) {
			cls[static_cast<unsigned char>(p[0])] = SHORT_ESC;
			short_esc[static_cast<unsigned char>(p[0])] = p[1];
		}
	}
};
constexpr byte_classes bytes;

constexpr std::size_t not_utf8 = static_cast<std::size_t>(-1);

// The length of s written as a JSON string with its quotes, or not_utf8.
std::size_t
string_size(const char *s, std::size_t len)
{
	std::size_t n = len + 2;
	bool ascii = true;
	for (std::size_t i = 0; i < len; i++) {
		switch (bytes.cls[static_cast<unsigned char>(s[i])]) {
		case AS_IS: break;
		case SHORT_ESC: n += 1; break;
		case HEX_ESC: n += 5; break;
		default: ascii = false;
		}
	}
	if (!ascii && !w_utf8_valid(s, len))
		return not_utf8;
	return n;
}

// Writes s as a JSON string at out; returns the end of what it wrote.
char *
put_string(char *out, const char *s, std::size_t len)
{
	static const char hex[] = "0123456789abcdef";
	*out++ = '"';
	for (std::size_t i = 0; i < len; i++) {
		unsigned char c = static_cast<unsigned char>(s[i]);
		switch (bytes.cls[c]) {
		case SHORT_ESC:
			*out++ = '\\';
			*out++ = bytes.short_esc[c];
			break;
		case HEX_ESC:
			std::memcpy(out, "\\u00", 4);
			out[4] = hex[c >> 4];
			out[5] = hex[c & 0xF];
			out += 6;
			break;
		default:
			*out++ = static_cast<char>(c);
		}
	}
	*out++ = '"';
	return out;
}

char *
put(char *out, std::string_view text)
{
	std::memcpy(out, text.data(), text.size());
	return out + text.size();
}

constexpr std::string_view file_head = "{\"file\":";
constexpr std::string_view tags_head = ",\"tags\":[";
constexpr std::string_view bare_head = "{\"tags\":[";
constexpr std::string_view tail = "]}";

} // namespace

char *
w_tags2json(const struct w_taglist *tlist, const char *path)
{
	assert(tlist != NULL);

	// JSON text is UTF-8; say which file and tag could not be written.
	const char *what = path != nullptr ? path : "tags";
	std::size_t size = tail.size() + 1;
	if (path != nullptr) {
		std::size_t n = string_size(path, std::strlen(path));
		if (n == not_utf8) {
			warnx("%s: the file name is not valid UTF-8, cannot write it as JSON",
			    w_escape(path, std::strlen(path)).c_str());
			errno = EILSEQ;
			return nullptr;
		}
		size += file_head.size() + n + tags_head.size();
	} else {
		size += bare_head.size();
	}
	struct w_tag *tag;
	W_TAGLIST_FOREACH(tag, tlist) {
		std::size_t k = string_size(tag->spelled, tag->keylen);
		if (k == not_utf8) {
			warnx("%s: a tag name is not valid UTF-8, cannot write it as JSON", what);
			errno = EILSEQ;
			return nullptr;
		}
		std::size_t v = string_size(tag->val, tag->vallen);
		if (v == not_utf8) {
			warnx("%s: the value of tag `%s' is not valid UTF-8, cannot write it as JSON",
			    what, w_escape(tag->key, tag->keylen).c_str());
			errno = EILSEQ;
			return nullptr;
		}
		size += k + v + 4; // {:} and a comma
	}

	char *doc = static_cast<char *>(std::malloc(size));
	if (doc == nullptr)
		return nullptr;
	char *out = doc;
	if (path != nullptr) {
		out = put(out, file_head);
		out = put_string(out, path, std::strlen(path));
		out = put(out, tags_head);
	} else {
		out = put(out, bare_head);
	}
	W_TAGLIST_FOREACH(tag, tlist) {
		if (tag != w_taglist_first(tlist))
			*out++ = ',';
		*out++ = '{';
		out = put_string(out, tag->spelled, tag->keylen);
		*out++ = ':';
		out = put_string(out, tag->val, tag->vallen);
		*out++ = '}';
	}
	out = put(out, tail);
	*out++ = '\0';
	assert(static_cast<std::size_t>(out - doc) <= size);
	return doc;
}

char *
w_tags2json_pictures(const struct w_taglist *tlist, const char *path, const std::vector<w_picture> &pictures)
{
	w_cstr_ptr doc(w_tags2json(tlist, path));
	if (doc == nullptr)
		return nullptr;
	// The document without its closing brace, then the member.
	std::string out(doc.get(), std::strlen(doc.get()) - 1);
	out += ",\"pictures\":[";
	for (std::size_t i = 0; i < pictures.size(); i++) {
		if (i != 0)
			out += ',';
		out += '"' + w_base64_encode(w_picture_render(pictures[i])) + '"';
	}
	out += "]}";
	char *copy = strdup(out.c_str());
	return copy;
}

/* Reading.  The library's event (SAX) parser drives a small state machine
 * that accepts exactly the document shapes above and builds the tag lists as
 * it goes; the input is read through an iterator that records how far the
 * parser has got, so that every error names its line and column. */

namespace {

// A character iterator that keeps, in *reached, how far it has been moved.
class counting_iterator {
public:
	using iterator_category = std::input_iterator_tag;
	using value_type = char;
	using difference_type = std::ptrdiff_t;
	using pointer = const char *;
	using reference = const char &;

	counting_iterator(const char *p, const char **reached) : p_(p), reached_(reached) {}
	reference operator*() const { return *p_; }
	counting_iterator &operator++()
	{
		*reached_ = ++p_;
		return *this;
	}
	counting_iterator operator++(int)
	{
		counting_iterator old = *this;
		++*this;
		return old;
	}
	bool operator==(const counting_iterator &o) const { return p_ == o.p_; }
	bool operator!=(const counting_iterator &o) const { return p_ != o.p_; }

private:
	const char *p_;
	const char **reached_;
};

using json = nlohmann::json;

// Builds the documents from the parser's events; any other shape stops the
// parse with a message.
class doc_builder : public nlohmann::json_sax<json> {
public:
	doc_builder(w_fmtdocs &docs, const char *&reached) : docs_(docs), reached_(reached) {}

	// Where the parse stopped, and why, once a handler returned false.
	std::string message;
	const char *error_at = nullptr;
	bool failed = false;
	const char *parse_start = nullptr; // where the parser was set going
	const char *doc_start = nullptr;   // where the last document began
	// True once a whole document has been read.
	bool complete() const { return state_ == state::done; }
	void next_document() { state_ = state::top; }

	bool null() override { return not_a_string("null"); }
	bool boolean(bool) override { return not_a_string("true or false"); }
	bool number_integer(number_integer_t) override { return not_a_string("a number"); }
	bool number_unsigned(number_unsigned_t) override { return not_a_string("a number"); }
	bool number_float(number_float_t, const string_t &) override { return not_a_string("a number"); }
	bool binary(binary_t &) override { return not_a_string("binary data"); }

	bool string(string_t &val) override
	{
		switch (state_) {
		case state::doc_file:
			if (val.find('\0') != string_t::npos)
				return fail("a file name cannot hold a NUL character");
			docs_.back().named = true;
			docs_.back().file = std::move(val);
			state_ = state::doc;
			return true;
		case state::picture: {
			std::string raw;
			w_picture p;
			if (!w_base64_decode(val, &raw) || !w_picture_parse(raw, &p))
				return fail("a picture is the base64 of a FLAC picture structure");
			docs_.back().pictures.push_back(std::move(raw));
			return true;
		}
		case state::tag_value:
			if (val.find('\0') != string_t::npos)
				return fail("a tag value cannot hold a NUL character");
			if (w_taglist_insert_spelled(docs_.back().tlist.get(), key_.c_str(), val.c_str()) == -1)
				throw std::bad_alloc();
			state_ = state::tag_end;
			return true;
		default:
			return not_a_string("a string");
		}
	}

	bool start_object(std::size_t) override
	{
		switch (state_) {
		case state::top:
			begin_document();
			state_ = state::doc;
			return true;
		case state::list:
			state_ = state::tag_key;
			return true;
		default:
			return not_a_string("an object");
		}
	}

	bool key(string_t &val) override
	{
		switch (state_) {
		case state::doc:
			if (val == "file" && !seen_file_) {
				seen_file_ = true;
				state_ = state::doc_file;
				return true;
			}
			if (val == "tags" && !seen_tags_) {
				seen_tags_ = true;
				state_ = state::doc_tags;
				return true;
			}
			if (val == "pictures" && !docs_.back().has_pictures && !bare_) {
				docs_.back().has_pictures = true;
				state_ = state::doc_pictures;
				return true;
			}
			if (val == "file" || val == "tags" || val == "pictures")
				return fail("the member \"" + val + "\" is given twice");
			return fail("unknown member \"" + w_escape(val.data(), val.size()) +
			    "\": a tag document holds \"file\" and \"tags\"");
		case state::tag_key:
			if (val.find('\0') != string_t::npos)
				return fail("a tag name cannot hold a NUL character");
			key_ = std::move(val);
			state_ = state::tag_value;
			return true;
		default: // tag_end: a second member
			return fail("a tag is an object with exactly one member");
		}
	}

	bool end_object() override
	{
		switch (state_) {
		case state::doc:
			if (!seen_tags_)
				return fail("the tag document has no \"tags\" member");
			state_ = state::done;
			return true;
		case state::tag_end:
			state_ = state::list;
			return true;
		default: // tag_key: an empty object
			return fail("a tag is an object with exactly one member");
		}
	}

	bool start_array(std::size_t) override
	{
		switch (state_) {
		case state::top:
			begin_document();
			bare_ = true;
			state_ = state::list;
			return true;
		case state::doc_tags:
			state_ = state::list;
			return true;
		case state::doc_pictures:
			state_ = state::picture;
			return true;
		default:
			return not_a_string("a list");
		}
	}

	bool end_array() override
	{
		// Only a list of tags or of pictures ends here: any other list
		// was refused at its start.
		state_ = bare_ && state_ != state::picture ? state::done : state::doc;
		return true;
	}

	bool parse_error(std::size_t position, const std::string &, const nlohmann::detail::exception &ex) override
	{
		// The library's text begins with its own name for the error and a
		// position counted from where this document began.
		std::string_view what = ex.what();
		std::size_t colon = what.find("column ");
		if (colon != std::string_view::npos && (colon = what.find(": ", colon)) != std::string_view::npos)
			what.remove_prefix(colon + 2);
		// What it last read is quoted as it was, in bytes that may be no
		// text at all.
		message = w_utf8_valid(what.data(), what.size()) ? std::string(what)
								 : w_escape(what.data(), what.size());
		// position counts the characters read, the end of input too.
		error_at = parse_start + position - 1;
		failed = true;
		return false;
	}

private:
	enum class state {
		top,       // before a document
		doc,       // in a document's object, between members
		doc_file,  // the value of "file"
		doc_tags,  // the value of "tags"
		doc_pictures, // the value of "pictures"
		picture,   // in the list of pictures
		list,      // in the list of tags, between tags
		tag_key,   // in a tag, before its name
		tag_value, // in a tag, its value
		tag_end,   // in a tag, after its value
		done,      // a document was read
	};

	void begin_document()
	{
		w_fmtdoc doc;
		doc.tlist.reset(w_taglist_new());
		if (doc.tlist == nullptr)
			throw std::bad_alloc();
		docs_.push_back(std::move(doc));
		doc_start = reached_ - 1;
		seen_file_ = seen_tags_ = bare_ = false;
	}

	bool not_a_string(const char *what)
	{
		switch (state_) {
		case state::top:
			return fail(std::string("a tag document is an object or a list, not ") + what);
		case state::doc_file:
			return fail(std::string("\"file\" is a string, not ") + what);
		case state::doc_tags:
			return fail(std::string("\"tags\" is a list, not ") + what);
		case state::doc_pictures:
			return fail(std::string("\"pictures\" is a list, not ") + what);
		case state::picture:
			return fail(std::string("a picture is a string, not ") + what);
		case state::list:
			return fail(std::string("a tag is an object with one member, not ") + what);
		default: // tag_value
			return fail(std::string("the value of a tag is a string, not ") + what);
		}
	}

	bool fail(std::string text)
	{
		message = std::move(text);
		// The last character the parser took is the one that told.
		error_at = reached_ - 1;
		failed = true;
		return false;
	}

	w_fmtdocs &docs_;
	const char *&reached_;
	state state_ = state::top;
	std::string key_;
	bool seen_file_ = false;
	bool seen_tags_ = false;
	bool bare_ = false;
};

// Lines and columns (in bytes, from 1) of places in a text, taken in
// increasing order, so that a whole library's input is counted through once.
class position_counter {
public:
	explicit position_counter(std::string_view text) : text_(text) {}

	std::pair<std::size_t, std::size_t> at(const char *place)
	{
		std::size_t off = static_cast<std::size_t>(place - text_.data());
		if (off < off_)
			*this = position_counter(text_);
		for (; off_ < off; off_++) {
			if (text_[off_] == '\n') {
				line_++;
				line_start_ = off_ + 1;
			}
		}
		return {line_, off - line_start_ + 1};
	}

private:
	std::string_view text_;
	std::size_t off_ = 0;
	std::size_t line_ = 1;
	std::size_t line_start_ = 0;
};

bool
is_blank(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The whole rest of fp, or false when reading fails.
bool
slurp(FILE *fp, std::string &text)
{
	char buf[65536];
	std::size_t n;
	while ((n = std::fread(buf, 1, sizeof buf, fp)) > 0)
		text.append(buf, n);
	return !std::ferror(fp);
}

int
read_documents(FILE *fp, w_fmtdocs &docs, char **errmsg)
{
	std::string text;
	if (!slurp(fp, text)) {
		w_xasprintf(errmsg, "read error: %s", std::strerror(errno));
		return -1;
	}
	const char *const begin = text.data();
	const char *const end = begin + text.size();
	const char *reached = begin;
	doc_builder builder(docs, reached);

	position_counter position(text);
	auto report = [&](const char *at, const std::string &what) {
		auto [line, column] = position.at(at);
		w_xasprintf(errmsg, "line %zu, column %zu: %s", line, column, what.c_str());
		return -1;
	};

	const char *p = begin;
	for (;;) {
		while (p != end && is_blank(*p))
			p++;
		if (p == end)
			break;
		reached = p;
		builder.parse_start = p;
		builder.next_document();
		// Not strict: the parser stops at the end of one document, and the
		// next one, if any, is read by the next turn.
		bool ok = json::sax_parse(counting_iterator(p, &reached), counting_iterator(end, &reached),
		    &builder, nlohmann::json::input_format_t::json, false);
		if (!ok || builder.failed)
			return report(builder.error_at, builder.message);
		if (!builder.complete())
			return report(reached, "not a tag document");
		std::tie(docs.back().line, docs.back().column) = position.at(builder.doc_start);
		p = reached;
	}
	return 0;
}

} // namespace

int
w_json2docs(FILE *fp, w_fmtdocs *docs, char **errmsg)
{
	assert(fp != NULL);
	assert(docs != NULL);

	char *msg = nullptr;
	int ret;
	try {
		ret = read_documents(fp, *docs, &msg);
	} catch (const std::bad_alloc &) {
		w_xasprintf(&msg, "out of memory");
		ret = -1;
	}
	if (ret == -1) {
		docs->clear();
		if (errmsg != nullptr)
			*errmsg = msg;
		else
			std::free(msg);
	}
	return ret;
}

struct w_taglist *
w_json2tags(FILE *fp, char **errmsg)
{
	assert(fp != NULL);

	w_fmtdocs docs;
	if (w_json2docs(fp, &docs, errmsg) == -1)
		return nullptr;
	char *msg = nullptr;
	if (docs.size() == 1)
		return docs[0].tlist.release();
	if (docs.empty())
		w_xasprintf(&msg, "the input holds no tag document");
	else
		w_xasprintf(&msg, "the input holds %zu tag documents, not one", docs.size());
	if (errmsg != nullptr)
		*errmsg = msg;
	else
		std::free(msg);
	return nullptr;
}

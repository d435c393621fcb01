#include "w_props.h"

#include <cinttypes>
#include <cstdio>

#include "w_taglist.h"

struct w_taglist *
w_props_tags(const w_audioprops &p)
{
	assert(p.codec != NULL);
	w_taglist_ptr out(w_taglist_new());
	if (out == nullptr)
		return nullptr;
	char buf[64];
	auto add = [&](const char *key, const char *value) {
		return w_taglist_insert(out.get(), key, value) == 0;
	};
	bool ok = add("codec", p.codec);
	std::snprintf(buf, sizeof buf, "%" PRIu64 ".%03u", p.millis / 1000, static_cast<unsigned>(p.millis % 1000));
	ok = ok && add("duration", buf);
	std::snprintf(buf, sizeof buf, "%u", p.rate);
	ok = ok && add("samplerate", buf);
	std::snprintf(buf, sizeof buf, "%u", p.channels);
	ok = ok && add("channels", buf);
	if (p.bits != 0) {
		std::snprintf(buf, sizeof buf, "%u", p.bits);
		ok = ok && add("bitspersample", buf);
	}
	std::snprintf(buf, sizeof buf, "%u", p.kbps);
	ok = ok && add("bitrate", buf);
	return ok ? out.release() : nullptr;
}

unsigned
w_props_kbps(std::uint64_t bytes, std::uint64_t millis)
{
	if (bytes == 0 || millis == 0)
		return 0;
	// bits per millisecond is kbit/s.
	return static_cast<unsigned>((bytes * 8 + millis / 2) / millis);
}

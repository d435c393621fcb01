/*
 * TagLib writes an ASF file's content description with all five of its
 * strings, an empty one as a lone terminator, which other readers take
 * for a field the file holds (an empty copyright, say).  Once TagLib has
 * saved, each string keeps its old bytes, or its absence, but for the
 * changed fields; a changed field left empty is stored as no string at
 * all, and a description left holding nothing that the file did not have
 * is left out.  The file's size, which its file properties state and
 * TagLib leaves as it was, follows.
 */
#include "w_tlfixup.h"

#include "w_tlproofcore.h"

namespace w_tl {

void
keep_asf_description(plan_stream &stream, const basic_change &change)
{
	w_tlplan plan;
	stream.plan(&plan);
	const file_view old(plan.fd, plan.old_size), neo(plan);
	asf_description o, n;
	if (!asf_header(old, &o) || !asf_header(neo, &n) || n.size == 0)
		return;
	ByteVector lengths, strings;
	for (int i = 0; i < 5; i++) {
		const bool changed = asf_fields[i] >= 0 && change.changed[asf_fields[i]];
		std::string text = changed ? n.text[i] : o.text[i];
		if (changed && text.find_first_not_of('\0') == std::string::npos)
			text.clear();
		lengths.append(ByteVector::fromShort(static_cast<short>(text.size()), false));
		strings.append(ByteVector(text.data(), static_cast<unsigned int>(text.size())));
	}
	ByteVector object;
	if (!strings.isEmpty() || o.size != 0) {
		object = ByteVector(neo.read(n.pos, 16).data(), 16);
		object.append(ByteVector::fromLongLong(24 + 10 + strings.size(), false));
		object.append(lengths);
		object.append(strings);
	}
	const std::uint64_t header = n.header_size - n.size + object.size();
	stream.insert(object, static_cast<unsigned long>(n.pos), static_cast<unsigned long>(n.size));
	stream.insert(ByteVector::fromLongLong(static_cast<long long>(header), false), 16, 8);
	if (object.isEmpty())
		stream.insert(ByteVector::fromUInt(n.objects - 1, false), 24, 4);
	if (o.properties != 0 && o.file_size == old.size() && n.properties != 0 && n.properties < n.pos) {
		const std::uint64_t size = neo.size() - n.size + object.size();
		stream.insert(ByteVector::fromLongLong(static_cast<long long>(size), false),
		    static_cast<unsigned long>(n.properties + 40), 8);
	}
}

} // namespace w_tl

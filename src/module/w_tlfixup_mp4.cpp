/*
 * TagLib moves every atom after moov when moov grows or shrinks, and
 * updates the chunk offsets and the fragments' base offsets that point
 * into them; nothing else.  The fragment index (tfra), a segment index
 * before moov (sidx) and the auxiliary information of the sample tables
 * (saio) would point at other bytes: every place the new file points to is
 * set here where the old one pointed, or the write is refused.
 */
#include "w_tlfixup.h"

#include "w_tlmp4.h"

namespace w_tl {

namespace {

// Sets the numbers of the pointers np (in the new file) to where those of
// op (in the old one) went; false, with why, when one cannot hold it.
bool
repoint(plan_stream &stream, const std::vector<mp4::pointer> &op, const std::vector<mp4::pointer> &np,
    const mp4::placement &where, std::string *why)
{
	if (op.size() != np.size())
		return true; // not the same atoms: the proof tells
	for (std::size_t i = 0; i < op.size(); i++) {
		const mp4::pointer &p = np[i];
		std::uint64_t place;
		if (p.at == 0 || !where.place(op[i].place, &place) || place == p.place)
			continue;
		const std::uint64_t n = place - p.anchor;
		if (place < p.anchor || (p.width == 4 && n > 0xffffffffu)) {
			*why = "would move the media out of the reach of its offsets";
			return false;
		}
		ByteVector bytes = p.width == 4 ? ByteVector::fromUInt(static_cast<unsigned int>(n), true)
						: ByteVector::fromLongLong(static_cast<long long>(n), true);
		stream.insert(bytes, static_cast<unsigned long>(p.at), p.width);
	}
	return true;
}

} // namespace

bool
keep_mp4_pointers(plan_stream &stream, std::string *why)
{
	w_tlplan plan;
	stream.plan(&plan);
	const file_view old(plan.fd, plan.old_size), neo(plan);
	mp4::placement where;
	if (!where.build(old, neo))
		return true; // the proof tells what changed
	std::vector<mp4::pointer> op, np;
	if (mp4::pointers(old, where.old_moov(), &op) && mp4::pointers(neo, where.new_moov(), &np) &&
	    !repoint(stream, op, np, where, why))
		return false;
	for (std::size_t i = 0; i < where.old_top().size(); i++) {
		if (mp4::pointers(old, where.old_top()[i], &op) && mp4::pointers(neo, where.new_top()[i], &np) &&
		    !repoint(stream, op, np, where, why))
			return false;
	}
	return true;
}

} // namespace w_tl

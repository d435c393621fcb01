#include "w_flacio.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace w_flac {

namespace {

// The chain is read and written through callbacks, so that the tags go to
// the file a symbolic link names and a rewrite uses a temporary file of our
// own (see w_safefile.h).  Writing goes through stdio streams.
size_t
io_read(void *ptr, size_t size, size_t nmemb, FLAC__IOHandle h)
{
	return std::fread(ptr, size, nmemb, static_cast<FILE *>(h));
}

size_t
io_write(const void *ptr, size_t size, size_t nmemb, FLAC__IOHandle h)
{
	// An empty block comes with no buffer at all.
	if (size == 0 || nmemb == 0)
		return nmemb;
	return std::fwrite(ptr, size, nmemb, static_cast<FILE *>(h));
}

int
io_seek(FLAC__IOHandle h, FLAC__int64 offset, int whence)
{
	return fseeko(static_cast<FILE *>(h), static_cast<off_t>(offset), whence);
}

FLAC__int64
io_tell(FLAC__IOHandle h)
{
	return ftello(static_cast<FILE *>(h));
}

int
io_eof(FLAC__IOHandle h)
{
	return std::feof(static_cast<FILE *>(h));
}

} // namespace

const FLAC__IOCallbacks io = {io_read, io_write, io_seek, io_tell, io_eof, nullptr};

const FLAC__IOCallbacks guarded_io = {guarded_stream::read, guarded_stream::write,
    guarded_stream::seek, guarded_stream::tell, guarded_stream::eof, nullptr};
const FLAC__IOCallbacks reader_io = {meta_reader::read, nullptr, meta_reader::seek,
    meta_reader::tell, meta_reader::eof, nullptr};
const FLAC__IOCallbacks head_io = {head_stream::read, nullptr, head_stream::seek,
    head_stream::tell, head_stream::eof, nullptr};

} // namespace w_flac

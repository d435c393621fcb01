#include "w_fileattr.h"

#include <acl/libacl.h>
#include <attr/error_context.h>
#include <attr/libattr.h>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <err.h>

namespace {

/*
 * Carrying the access control list and the extended attributes over to a
 * copy is left to libacl and libattr, as the file utilities do.  Their
 * messages name the file as the user named it, and the reason.
 */
struct carry_context : error_context {
	int reason;
};

extern "C" void
carry_failed(struct error_context *ctx, const char *format, ...)
{
	auto *carry = static_cast<carry_context *>(ctx);
	carry->reason = errno;
	va_list ap;
	va_start(ap, format);
	vwarn(format, ap);
	va_end(ap);
	errno = carry->reason;
}

/*
 * Which attributes go over: not those of the ACL, which perm_copy_fd
 * carries, nor those libattr's own list says to leave, nor any security
 * attribute: the kernel and the security module label the new file
 * themselves, and a label or a capability is not ours to hand on.
 */
extern "C" int
carried_attribute(const char *name, struct error_context *ctx)
{
	if (std::strncmp(name, "security.", std::strlen("security.")) == 0)
		return 0;
	return attr_copy_check_permissions(name, ctx);
}

} // namespace

int
w_fileattr_carry(int from, int to, const std::string &label) noexcept
{
	carry_context ctx;
	ctx.error = carry_failed;
	ctx.quote = nullptr;
	ctx.quote_free = nullptr;
	ctx.reason = 0;
	errno = 0;
	if (perm_copy_fd(label.c_str(), from, label.c_str(), to, &ctx) != 0 ||
	    attr_copy_fd(label.c_str(), from, label.c_str(), to, carried_attribute, &ctx) != 0) {
		if (ctx.reason == 0) {
			// libattr passes over an attribute that went away between
			// listing and reading it without a word.
			ctx.reason = errno != 0 ? errno : EIO;
			errno = ctx.reason;
			warn("copying the attributes of %s", label.c_str());
		}
		errno = ctx.reason;
		return -1;
	}
	return 0;
}

/* The math functions that the statically linked libFLAC and libvorbis
 * name.  They serve the audio decoders and encoders of those libraries,
 * which showing or editing tags never runs, yet naming them would make the
 * dynamic loader map and relocate libm on every start: a good part of what a
 * short run costs.  Each one is looked up in libm when it is first called
 * instead, and then behaves as the libm function it forwards to.
 *
 * The definitions are hidden: they bind only the archives linked into the
 * program, never a library loaded later (TagLib's module gets libm its own
 * way).  A math function that a newer libFLAC or libvorbis starts to name
 * and that is missing here simply makes the program need libm again, as
 * `readelf -d` shows (bench/startup.sh prints it).
 */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define HIDDEN __attribute__((visibility("hidden")))

static void *libm_symbol(const char *name)
{
	static void *libm;
	void *lib = __atomic_load_n(&libm, __ATOMIC_ACQUIRE);
	if (!lib) {
		lib = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL);
		if (!lib) {
			fprintf(stderr, "wembrix: cannot load libm.so.6: %s\n", dlerror());
			abort();
		}
		__atomic_store_n(&libm, lib, __ATOMIC_RELEASE);
	}
	void *fn = dlsym(lib, name);
	if (!fn) {
		fprintf(stderr, "wembrix: libm.so.6 has no %s\n", name);
		abort();
	}
	return fn;
}

/* The first call binds the function; two threads that race for it bind the
 * same address. */
#define BIND(type, name) \
	static type fn; \
	type f = __atomic_load_n(&fn, __ATOMIC_ACQUIRE); \
	if (!f) { \
		void *sym = libm_symbol(name); \
		memcpy(&f, &sym, sizeof f); \
		__atomic_store_n(&fn, f, __ATOMIC_RELEASE); \
	}

#define LAZY1(ret, name, t1) \
	HIDDEN ret name(t1 a) \
	{ \
		typedef ret (*fn_t)(t1); \
		BIND(fn_t, #name) \
		return f(a); \
	}

#define LAZY2(ret, name, t1, t2) \
	HIDDEN ret name(t1 a, t2 b) \
	{ \
		typedef ret (*fn_t)(t1, t2); \
		BIND(fn_t, #name) \
		return f(a, b); \
	}

LAZY1(double, sin, double)
LAZY1(double, cos, double)
LAZY1(double, atan, double)
LAZY1(double, exp, double)
LAZY1(double, log, double)
LAZY1(float, acosf, float)
LAZY1(long, lround, double)
LAZY2(double, pow, double, double)
LAZY2(double, frexp, double, int *)
LAZY2(double, ldexp, double, int)

HIDDEN void sincos(double x, double *s, double *c)
{
	typedef void (*fn_t)(double, double *, double *);
	BIND(fn_t, "sincos")
	f(x, s, c);
}

HIDDEN void sincosf(float x, float *s, float *c)
{
	typedef void (*fn_t)(float, float *, float *);
	BIND(fn_t, "sincosf")
	f(x, s, c);
}

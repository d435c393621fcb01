/* The math functions the program binds on first use give libm's results:
 * arguments reach the right parameters, nothing recurses into itself, and
 * libm is loaded by the first call, not at start.  Built with -fno-builtin
 * and without -lm, so that every call below goes through them. */
#include <dlfcn.h>
#include <stdio.h>

double sin(double);
double cos(double);
double atan(double);
double exp(double);
double log(double);
float acosf(float);
long lround(double);
double pow(double, double);
double frexp(double, int *);
double ldexp(double, int);
void sincos(double, double *, double *);
void sincosf(float, float *, float *);

static int failures;

static void near(const char *what, double got, double want)
{
	double d = got - want;
	if (d < -1e-6 || d > 1e-6) {
		printf("%s: %.9g, want %.9g\n", what, got, want);
		failures++;
	}
}

int main(void)
{
	if (dlopen("libm.so.6", RTLD_LAZY | RTLD_NOLOAD)) {
		printf("libm is loaded before any math function was called\n");
		failures++;
	}
	const double pi = 3.14159265358979;
	near("sin(pi/6)", sin(pi / 6), 0.5);
	near("cos(pi/3)", cos(pi / 3), 0.5);
	near("atan(1)", atan(1), pi / 4);
	near("exp(1)", exp(1), 2.718281828459);
	near("log(8)", log(8), 2.0794415416798);
	near("acosf(0)", acosf(0), pi / 2);
	near("lround(2.5)", (double)lround(2.5), 3);
	near("lround(-7.4)", (double)lround(-7.4), -7);
	near("pow(2, 10)", pow(2, 10), 1024);
	near("ldexp(0.75, 4)", ldexp(0.75, 4), 12);
	int e = 0;
	near("frexp(12)", frexp(12, &e), 0.75);
	near("frexp(12) exponent", e, 4);
	double s, c;
	sincos(pi / 6, &s, &c);
	near("sincos(pi/6) sin", s, 0.5);
	near("sincos(pi/6) cos", c, 0.8660254037844);
	float sf, cf;
	sincosf((float)(pi / 3), &sf, &cf);
	near("sincosf(pi/3) sin", sf, 0.8660254037844);
	near("sincosf(pi/3) cos", cf, 0.5);
	if (!dlopen("libm.so.6", RTLD_LAZY | RTLD_NOLOAD)) {
		printf("libm is not loaded after the calls\n");
		failures++;
	}
	return failures != 0;
}

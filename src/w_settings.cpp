#include "w_settings.h"

const struct w_format *Fflag = nullptr;
int pflag = 0;
int Yflag = 0;
int Nflag = 0;
int alltagsflag = 0;
int nflag = 0;
int picturesflag = 0;

/*
 * The settings chosen by the options.  They are written only while the
 * options are parsed; every reader includes this header, never the entry
 * point.
 */
#pragma once

#include "w_contract.h"
#include "w_format.h"

extern const struct w_format *Fflag; // the tag document format (-F)
extern int pflag;                    // create destination directories (-p)
extern int Yflag;                    // answer yes to every question (-Y)
extern int Nflag;                    // answer no to every question (-N)
// Every field of MP3, M4A and WAV files, under the names FLAC uses
// (--all-tags); FLAC and Ogg files carry every comment anyway.
extern int alltagsflag;
// Preview (-n): every action runs as in a real run, but no file is
// written, moved or made; what would change is shown.
extern int nflag;
// JSON tag documents carry the files' pictures too (--pictures).
extern int picturesflag;

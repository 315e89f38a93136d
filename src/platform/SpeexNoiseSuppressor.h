#pragma once

#include "captioning/NoiseSuppressor.h"

// speexdsp's preprocessor as a noise suppressor: spectral subtraction with a noise estimate that follows
// slow changes. Its own gain control stays off; the front end sets the level.
// `suppressionDb` is the most the noise is lowered (a negative number).
NoiseSuppressorFactory makeSpeexNoiseSuppressorFactory(int suppressionDb = -25);

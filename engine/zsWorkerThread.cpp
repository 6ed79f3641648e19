#include "zsWorkerThread.h"

#include "httpfixture.h"

#pragma once
#include "testsupport.h"

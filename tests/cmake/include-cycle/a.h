#pragma once
#include "b.h"

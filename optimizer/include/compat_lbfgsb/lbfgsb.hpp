// The public interface of the bounded L-BFGS-B library.
#pragma once

#include "compat_lbfgsb/backend.hpp"
#include "compat_lbfgsb/bounds.hpp"
#include "compat_lbfgsb/control.hpp"
#include "compat_lbfgsb/error.hpp"
#include "compat_lbfgsb/result.hpp"
#include "compat_lbfgsb/run.hpp"
#include "compat_lbfgsb/scaling.hpp"

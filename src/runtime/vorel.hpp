// The native runtime layer in one include.
#pragma once
#include "runtime/coroutine.hpp"
#include "runtime/flow.hpp"
#include "runtime/function.hpp"
#include "runtime/module.hpp"
#include "runtime/names.hpp"
#include "runtime/py.hpp"
#include "runtime/ref.hpp"

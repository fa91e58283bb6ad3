// The native runtime layer in one include.
#pragma once
#include "runtime/coroutine.hpp"
#include "runtime/function.hpp"
#include "runtime/module.hpp"
#include "runtime/py.hpp"
#include "runtime/ref.hpp"

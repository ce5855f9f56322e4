#pragma once
// Every public header of the NELM background library.

#include <background/core/BackgroundEvent.hpp>
#include <background/core/BackgroundModel.hpp>
#include <background/core/EventGenerator.hpp>
#include <background/core/Factory.hpp>
#include <background/core/Flux.hpp>
#include <background/core/Format.hpp>
#include <background/core/Hook.hpp>
#include <background/core/Metadata.hpp>
#include <background/core/PEList.hpp>
#include <background/core/Settings.hpp>
#include <background/core/ShowerProvider.hpp>
#include <background/core/YAMLAccessor.hpp>

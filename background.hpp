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
#include <background/core/Random.hpp>
#include <background/core/Settings.hpp>
#include <background/core/ShowerProvider.hpp>
#include <background/core/YAMLAccessor.hpp>

#include <background/driver/AfterpulseGenerator.hpp>
#include <background/driver/AutoMergeList.hpp>
#include <background/driver/Background.hpp>
#include <background/driver/GenericGenerator.hpp>
#include <background/driver/NPEGenerator.hpp>
#include <background/driver/ProviderGenerator.hpp>
#include <background/models/DarkCountModel.hpp>
#include <background/models/GenericModel.hpp>
#include <background/providers/MockProvider.hpp>

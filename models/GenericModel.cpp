#include <background/models/GenericModel.hpp>

#include <stdexcept>
#include <utility>

namespace background {

namespace {

// Stable merge by time: an event of `later` goes first only when strictly earlier.
std::vector<BackgroundEvent> merge_by_time(const std::vector<BackgroundEvent>& earlier,
                                           const std::vector<BackgroundEvent>& later) {
    std::vector<BackgroundEvent> merged;
    merged.reserve(earlier.size() + later.size());
    auto e = earlier.begin();
    auto l = later.begin();
    while (e != earlier.end() && l != later.end()) {
        if (l->time < e->time) {
            merged.push_back(*l++);
        } else {
            merged.push_back(*e++);
        }
    }
    merged.insert(merged.end(), e, earlier.end());
    merged.insert(merged.end(), l, later.end());
    return merged;
}

}  // namespace

void GenericModel::add_model(std::unique_ptr<BackgroundModel> model) {
    if (!model) throw std::invalid_argument("GenericModel cannot hold a null sub-model!");
    models.push_back(std::move(model));
}

std::vector<BackgroundEvent> GenericModel::sample(double begin, double end) {
    std::vector<BackgroundEvent> result;
    for (const auto& model : models) {
        std::vector<BackgroundEvent> events = model->sample(begin, end);
        if (result.empty()) {
            result = std::move(events);
        } else if (!events.empty()) {
            result = merge_by_time(result, events);
        }
    }
    return result;
}

}  // namespace background

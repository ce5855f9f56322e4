#pragma once

#include <background/core/BackgroundModel.hpp>

#include <memory>
#include <vector>

namespace background {

/// Combines sub-models into one time-ordered event list. Events with equal
/// times keep the order of the sub-models, earlier ones first.
class GenericModel : public BackgroundModel {
public:
    /// Appends a sub-model (not null) and takes ownership of it.
    void add_model(std::unique_ptr<BackgroundModel> model);
    std::vector<BackgroundEvent> sample(double begin, double end) override;

private:
    std::vector<std::unique_ptr<BackgroundModel>> models;
};

}  // namespace background

#include "comm/platform/component.h"

#include <algorithm>
#include <typeinfo>

#include "comm/platform/framework.h"

namespace kivo {

TComponent::TComponent(TComponent* owner) : owner_(owner) {
    if (owner_ != nullptr) {
        owner_->components_.push_back(this);
    }
}

TComponent::~TComponent() {
    state_ |= csDestroying;
    while (!components_.empty()) {
        TComponent* child = components_.back();
        components_.pop_back();
        child->owner_ = nullptr;
        delete child;
    }
    if (owner_ != nullptr) {
        auto& siblings = owner_->components_;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
    }
}

void TComponent::SetDesigning(bool designing) {
    if (designing) {
        state_ |= csDesigning;
    } else {
        state_ &= static_cast<uint8_t>(~csDesigning);
    }
}

void TComponent::Assign(const TComponent* source) {
    if (source != nullptr && source != this) {
        throw Exception("Cannot assign a " + std::string(typeid(*source).name()) + " to a " +
                        std::string(typeid(*this).name()));
    }
}

} // namespace kivo

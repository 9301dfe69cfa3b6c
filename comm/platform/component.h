// The framework's component: an object with an owner, a name, a tag and a loading/designing
// state. An owner destroys the components it owns when it is destroyed, so owned components
// are created with new; a component destroyed first leaves its owner's list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kivo {

enum TComponentStateFlag : uint8_t {
    csLoading = 1,   // its stored layout is being read
    csDesigning = 2, // it is being edited in a designer
    csDestroying = 4,
};

class TComponent {
public:
    explicit TComponent(TComponent* owner = nullptr);
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }
    int32_t Tag() const { return tag_; }
    void SetTag(int32_t tag) { tag_ = tag; }

    uint8_t ComponentState() const { return state_; }
    bool Loading() const { return (state_ & csLoading) != 0; }
    bool Designing() const { return (state_ & csDesigning) != 0; }

    // Reading a stored layout: BeginLoading sets csLoading; Loaded clears it and lets the
    // component act on what was read.
    void BeginLoading() { state_ |= csLoading; }
    virtual void Loaded() { state_ &= static_cast<uint8_t>(~csLoading); }
    void SetDesigning(bool designing);

    // Copies the settings of another object of a compatible kind; the base knows none.
    virtual void Assign(const TComponent* source);

    int ComponentCount() const { return static_cast<int>(components_.size()); }
    TComponent* Components(int index) const { return components_.at(static_cast<size_t>(index)); }

private:
    TComponent* owner_;
    std::string name_;
    int32_t tag_ = 0;
    uint8_t state_ = 0;
    std::vector<TComponent*> components_;
};

} // namespace kivo

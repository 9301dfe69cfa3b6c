// A "method of an object": a routine bound to the object it runs on. Unlike std::function two
// methods can be compared, and the routine alone can be compared, which is what deregistering
// a callback by its routine needs (whichever object it was registered with).
//
//     auto m = TMethod<void(int)>::Bind<&Form::OnValue>(&form);
//     m(42);                      // form.OnValue(42)
//     m.SameRoutine(TMethod<void(int)>::Bind<&Form::OnValue>(&other));  // true
#pragma once

#include <utility>

namespace kivo {

template <typename Signature>
class TMethod;

template <typename R, typename... Args>
class TMethod<R(Args...)> {
public:
    using Code = R (*)(void* object, Args... args);

    TMethod() = default;
    TMethod(Code code, void* object) : code_(code), object_(object) {}

    // Binds a member function to an object.
    template <auto Member, typename Object>
    static TMethod Bind(Object* object) {
        return TMethod(&MemberThunk<Member, Object>, object);
    }

    // Binds a free function; the object part stays empty.
    template <R (*Function)(Args...)>
    static TMethod Bind() {
        return TMethod(&FunctionThunk<Function>, nullptr);
    }

    explicit operator bool() const { return code_ != nullptr; }
    R operator()(Args... args) const { return code_(object_, std::forward<Args>(args)...); }

    Code CodePart() const { return code_; }
    void* ObjectPart() const { return object_; }
    bool SameRoutine(const TMethod& other) const { return code_ == other.code_; }
    bool operator==(const TMethod& other) const {
        return code_ == other.code_ && object_ == other.object_;
    }

private:
    template <auto Member, typename Object>
    static R MemberThunk(void* object, Args... args) {
        return (static_cast<Object*>(object)->*Member)(std::forward<Args>(args)...);
    }

    template <R (*Function)(Args...)>
    static R FunctionThunk(void*, Args... args) {
        return Function(std::forward<Args>(args)...);
    }

    Code code_ = nullptr;
    void* object_ = nullptr;
};

} // namespace kivo

#pragma once
// A message class for the tests: a "get" with a spread of declared parameters and the
// base-class body.

#include <memory>

#include "core/Message.h"

namespace ZelkorTest {

class GetMessage : public Zelkor::Message {
public:
    GetMessage()
        : Message({Zelkor::Param::path, Zelkor::Param::value, Zelkor::Param::error, Zelkor::Param::size,
                   Zelkor::Param::level, Zelkor::Param::time, Zelkor::Param::readonly, Zelkor::Param::files,
                   Zelkor::Param::params, Zelkor::Param::guid}) {}
    const char* CommandName() const override { return "get"; }
    std::unique_ptr<Message> Instantiate() const override { return std::make_unique<GetMessage>(); }
};

inline std::unique_ptr<Zelkor::Message> CreateGetMessage() { return std::make_unique<GetMessage>(); }

}  // namespace ZelkorTest

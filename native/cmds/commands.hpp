// What the command files share: their definitions, registered by module.cpp
// in this order, and the decorator plumbing that makes each one read like
// the decorated Python function it is.
#pragma once

#include "module.hpp"

namespace vantorel::cmds {

void define_license(const ModuleScope& m);
void define_shell(const ModuleScope& m);
void define_update_data(const ModuleScope& m);
void define_check_data(const ModuleScope& m);
void define_download_data(const ModuleScope& m);

// click.<name>, read when the expression that uses it is evaluated. Python
// reads a called function before it evaluates the arguments, so callers look
// it up first when the arguments do any work of their own.
inline Ref click_attr(const Scope& scope, const char* name) { return scope.global("click").attr(name); }

// click.option(*names, **settings) for settings that are plain literals.
inline Ref option(const ModuleScope& m, std::initializer_list<Ref> names,
                  std::initializer_list<Keyword> settings = {}) {
  return call(click_attr(m, "option"), names, settings);
}

// -d/--data-bundle-path, declared alike by every data command; its help shows
// the default as it is at start-up.
inline Ref bundle_path_option(const ModuleScope& m) {
  Ref make_option = click_attr(m, "option");
  Ref default_path = m.global("DEFAULT_BUNDLE_PATH");
  Ref path_type = call(click_attr(m, "Path"), {}, {{"file_okay", boolean(false)}});
  Ref help = call_method(text("bundle 目录，默认为 {}"), "format", {m.global("DEFAULT_BUNDLE_PATH")});
  return call(make_option, {text("-d"), text("--data-bundle-path")},
              {{"default", default_path}, {"type", path_type}, {"help", help}});
}

// Applies decorators listed top-down the way Python applies a decorator
// stack: the one nearest the function first.
inline Ref decorate(Ref function, std::initializer_list<Ref> top_down) {
  for (auto decorator = std::rbegin(top_down); decorator != std::rend(top_down); ++decorator) {
    function = call(*decorator, {function});
  }
  return function;
}

// Registers a command as `@cli.command()` over the given option decorators.
inline void register_command(const ModuleScope& m, const char* name, const Ref& command_decorator,
                             std::initializer_list<Ref> options, const Ref& callback) {
  Ref command = decorate(callback, options);
  m.bind(name, call(command_decorator, {command}));
}

inline Ref command_decorator(const ModuleScope& m) { return call_method(m.global("cli"), "command"); }

// click.echo(message) for a literal message.
inline void echo(const Scope& scope, const Ref& message) { call(click_attr(scope, "echo"), {message}); }

// click.echo(<expression>): click.echo is read before the message is made.
template <class MakeMessage>
void echo_made(const Scope& scope, MakeMessage make_message) {
  Ref click_echo = click_attr(scope, "echo");
  call(click_echo, {make_message()});
}

}  // namespace vantorel::cmds

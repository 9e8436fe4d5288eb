// Command routing: a command id from a menu or an accelerator is offered to
// the active document window, then to the main frame, then to the
// application; the first target that knows the id handles it. Before a menu
// shows, each item asks the same chain for its enabled and checked state; an
// id that no target knows is shown disabled.
#pragma once

namespace kestrel {

struct CommandState {
    bool enabled = true;
    bool checked = false;
};

class CCommandTarget {
public:
    virtual ~CCommandTarget() = default;
    // True when this target has a handler for `id` (and ran it).
    virtual bool OnCommand(int id) = 0;
    // True when this target has a handler for `id`; it then sets `state`.
    virtual bool OnUpdateCommand(int id, CommandState& state) = 0;
};

}  // namespace kestrel

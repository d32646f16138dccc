// GNOME Shell gives programs no window places on Wayland. This extension, installed with Tessaron, answers
// one question on the session bus, under the shell's own name: which windows are shown now, front to back,
// with their frames (without the shadows clients draw) and the monitors they are on; none while the overview
// or the lock screen is up, when no window is where its frame says. It changes nothing.
/* exported init */
const { Gio, Meta } = imports.gi;
const Main = imports.ui.main;

const INTERFACE = `
<node>
  <interface name="com.marrowbeck.tessaron.WindowPlaces">
    <method name="List">
      <arg type="s" direction="out" name="places"/>
    </method>
  </interface>
</node>`;

const PATH = '/com/marrowbeck/tessaron/WindowPlaces';

class WindowPlaces {
    List() {
        const display = global.display;
        const active = global.workspace_manager.get_active_workspace();
        const monitors = [];
        for (let i = 0; i < display.get_n_monitors(); i++) {
            const r = display.get_monitor_geometry(i);
            monitors.push({ x: r.x, y: r.y, width: r.width, height: r.height });
        }
        // In the overview or behind the lock screen no window is where its frame says.
        const hidden = Main.overview.visible || Main.sessionMode.isLocked;
        const shown = hidden ? [] : display
            .sort_windows_by_stacking(display.list_all_windows())
            .reverse()
            .filter(w => w.get_window_type() === Meta.WindowType.NORMAL && !w.minimized &&
                w.located_on_workspace(active) && w.showing_on_its_workspace());
        const windows = shown.map(w => {
            const r = w.get_frame_rect();
            return {
                id: Number(w.get_id() % 4294967296),
                pid: w.get_pid(),
                title: w.get_title() || '',
                appId: w.get_gtk_application_id() || w.get_wm_class() || '',
                x: r.x, y: r.y, width: r.width, height: r.height,
                monitor: w.get_monitor(),
                focused: w.has_focus(),
            };
        });
        return JSON.stringify({ monitors, windows });
    }
}

class Extension {
    enable() {
        this._exported = Gio.DBusExportedObject.wrapJSObject(INTERFACE, new WindowPlaces());
        this._exported.export(Gio.DBus.session, PATH);
    }

    disable() {
        this._exported?.unexport();
        this._exported = null;
    }
}

function init() {
    return new Extension();
}

// What GTK itself costs for Vantrel's controls, without wxWidgets: a window
// with a status bar ("Bare"), or the same window with the controls of
// Vantrel's main window ("Full": the menu bar, a button for the banner, the
// two group boxes with their labels, five spin controls and the check box,
// the box with Start, Abort and the countdown). The floor under Vantrel's
// start-up ratio in bench/startup_bench.sh.
//
//   gtk_floor         ->  "Bare"
//   gtk_floor full    ->  "Full"
#include <gtk/gtk.h>

#include <cstring>
#include <initializer_list>

namespace {

GtkWidget* Spin(double min, double value)
{
    GtkWidget* spin = gtk_spin_button_new_with_range(min, 9999, 1);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(spin), value);
    return spin;
}

GtkWidget* MenuBar()
{
    GtkWidget* bar = gtk_menu_bar_new();
    for (const char* title : {"_File", "_View", "_Help"}) {
        GtkWidget* item = gtk_menu_item_new_with_mnemonic(title);
        GtkWidget* menu = gtk_menu_new();
        for (int i = 0; i < 4; ++i)
            gtk_menu_shell_append(GTK_MENU_SHELL(menu), gtk_menu_item_new_with_label("Item"));
        gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), menu);
        gtk_menu_shell_append(GTK_MENU_SHELL(bar), item);
    }
    return bar;
}

GtkWidget* Group(const char* title, const char* const* labels, int rows, double min, bool checkBox)
{
    GtkWidget* frame = gtk_frame_new(title);
    GtkWidget* grid = gtk_grid_new();
    gtk_container_add(GTK_CONTAINER(frame), grid);
    for (int row = 0; row < rows; ++row) {
        gtk_grid_attach(GTK_GRID(grid), gtk_label_new(labels[row]), 0, row, 1, 1);
        gtk_grid_attach(GTK_GRID(grid), Spin(min, 1), 1, row, 1, 1);
    }
    if (checkBox)
        gtk_grid_attach(GTK_GRID(grid), gtk_check_button_new_with_label("Enable Mirror-lockup"), 0, rows, 2, 1);
    return frame;
}

void AddControls(GtkBox* column)
{
    static const char* const exposure[] = {"# Exposures", "Duration"};
    static const char* const delay[] = {"Sequence start", "Before frame", "After frame"};
    gtk_box_pack_start(column, MenuBar(), FALSE, FALSE, 0);
    gtk_box_pack_start(column, gtk_button_new_with_label(" "), FALSE, FALSE, 0);
    gtk_box_pack_start(column, Group("Exposure control", exposure, 2, 1, true), FALSE, FALSE, 0);
    gtk_box_pack_start(column, Group("Delay control", delay, 3, 0, false), FALSE, FALSE, 0);
    GtkWidget* frame = gtk_frame_new(nullptr);
    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_VERTICAL, 3);
    gtk_container_add(GTK_CONTAINER(frame), buttons);
    gtk_box_pack_start(GTK_BOX(buttons), gtk_button_new_with_mnemonic("_Start Sequence"), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(buttons), gtk_button_new_with_mnemonic("_Abort Sequence"), FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(buttons), gtk_label_new("Total Remaining 00:00:00"), FALSE, FALSE, 0);
    gtk_box_pack_start(column, frame, FALSE, FALSE, 0);
}

}  // namespace

int main(int argc, char** argv)
{
    gtk_init(&argc, &argv);
    const bool full = argc > 1 && std::strcmp(argv[1], "full") == 0;
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), full ? "Full" : "Bare");
    GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window), column);
    if (full)
        AddControls(GTK_BOX(column));
    GtkWidget* status = gtk_statusbar_new();
    gtk_statusbar_push(GTK_STATUSBAR(status), 0, "Ready");
    gtk_box_pack_end(GTK_BOX(column), status, FALSE, FALSE, 0);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}

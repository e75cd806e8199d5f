/* A GTK 3 form the accessibility tests operate: a text field, a password field, buttons, a
 * scroll area, a menu and a pure red button ("Block", for clicks at image points and the image's
 * colour). Each press and every change of the text field is printed on standard
 * output ("pressed Save", "text abc"); SIGUSR1 renames the window. --rows N puts N buttons in the
 * scroll area. */
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void report(const char* what, const char* detail) {
    printf("%s %s\n", what, detail);
    fflush(stdout);
}

static void pressed(GtkWidget* widget, gpointer name) {
    (void)widget;
    report("pressed", (const char*)name);
}

static void changed(GtkEditable* editable, gpointer data) {
    (void)data;
    report("text", gtk_entry_get_text(GTK_ENTRY(editable)));
}

static gboolean rename_window(gpointer window) {
    /* A new title each time, so that every rename is a change. */
    static int renames = 0;
    char title[64];
    char count[16];
    ++renames;
    snprintf(title, sizeof title, "Velto Form GTK (renamed %d)", renames);
    snprintf(count, sizeof count, "%d", renames);
    gtk_window_set_title(GTK_WINDOW(window), title);
    report("renamed", count);
    return G_SOURCE_CONTINUE;
}

static void name_widget(GtkWidget* widget, const char* name) {
    atk_object_set_name(gtk_widget_get_accessible(widget), name);
}

int main(int argc, char** argv) {
    int rows = 20;
    for (int i = 1; i + 1 < argc; ++i) {
        if (strcmp(argv[i], "--rows") == 0) {
            rows = atoi(argv[i + 1]);
        }
    }
    gtk_init(&argc, &argv);
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "Velto Form GTK");
    gtk_window_set_default_size(GTK_WINDOW(window), 480, 400);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
    g_unix_signal_add(SIGUSR1, rename_window, window);

    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
    gtk_container_add(GTK_CONTAINER(window), box);

    GtkWidget* bar = gtk_menu_bar_new();
    GtkWidget* file = gtk_menu_item_new_with_label("File");
    GtkWidget* menu = gtk_menu_new();
    GtkWidget* hello = gtk_menu_item_new_with_label("Say Hello");
    g_signal_connect(hello, "activate", G_CALLBACK(pressed), "Say Hello");
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), hello);
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(file), menu);
    gtk_menu_shell_append(GTK_MENU_SHELL(bar), file);
    gtk_box_pack_start(GTK_BOX(box), bar, FALSE, FALSE, 0);

    GtkWidget* name = gtk_entry_new();
    name_widget(name, "Name");
    g_signal_connect(name, "changed", G_CALLBACK(changed), NULL);
    gtk_box_pack_start(GTK_BOX(box), name, FALSE, FALSE, 0);

    GtkWidget* password = gtk_entry_new();
    name_widget(password, "Password");
    gtk_entry_set_visibility(GTK_ENTRY(password), FALSE);
    gtk_entry_set_text(GTK_ENTRY(password), "hunter2-secret");
    gtk_box_pack_start(GTK_BOX(box), password, FALSE, FALSE, 0);

    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
    for (const char** label = (const char*[]){"Save", "Clear", NULL}; *label != NULL; ++label) {
        GtkWidget* button = gtk_button_new_with_label(*label);
        g_signal_connect(button, "clicked", G_CALLBACK(pressed), (gpointer)*label);
        gtk_box_pack_start(GTK_BOX(buttons), button, FALSE, FALSE, 0);
    }
    gtk_box_pack_start(GTK_BOX(box), buttons, FALSE, FALSE, 0);

    /* Flat and unthemed, so that its pixels are exactly the colour the tests look for. */
    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(
        css, "#block { background: #ff0000; background-image: none; border: none; }", -1, NULL);
    gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(css);
    GtkWidget* block = gtk_button_new();
    gtk_widget_set_name(block, "block");
    name_widget(block, "Block");
    gtk_widget_set_size_request(block, 96, 48);
    g_signal_connect(block, "clicked", G_CALLBACK(pressed), "Block");
    gtk_widget_set_halign(block, GTK_ALIGN_START);
    gtk_box_pack_start(GTK_BOX(box), block, FALSE, FALSE, 0);

    GtkWidget* scroll = gtk_scrolled_window_new(NULL, NULL);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_NEVER,
                                   GTK_POLICY_ALWAYS);
    GtkWidget* list = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    for (int i = 0; i < rows; ++i) {
        char* label = g_strdup_printf("Row %d", i);
        GtkWidget* row = gtk_button_new_with_label(label);
        /* Freed with the window: the handler keeps the label. */
        g_signal_connect_data(row, "clicked", G_CALLBACK(pressed), label,
                              (GClosureNotify)(void (*)(void))g_free, 0);
        gtk_box_pack_start(GTK_BOX(list), row, FALSE, FALSE, 0);
    }
    gtk_container_add(GTK_CONTAINER(scroll), list);
    gtk_box_pack_start(GTK_BOX(box), scroll, TRUE, TRUE, 0);

    g_signal_connect(gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(scroll)),
                     "value-changed", G_CALLBACK(pressed), "scrolled");
    gtk_widget_show_all(window);
    report("ready", "gtk");
    gtk_main();
    return 0;
}

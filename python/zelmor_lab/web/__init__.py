"""The local web page: the server and its JSON API, the viewer behind it, board pictures, and the
page's static files."""
